package com.example.nested;

interface INested {
    parcelable Entry {
        int id;
        String name;
    }
    enum Mode { FAST = 1, SLOW = 2 }
    union Value { int i; String s; }
    Entry[] entries();
    void set(in Entry e, Mode m);
    interface ICallback {
        void done(int status);
    }
    void watch(ICallback cb);
}
