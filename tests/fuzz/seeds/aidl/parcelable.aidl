package com.example.data;

parcelable Info {
    int version;
    @nullable String label;
    interface Inner { void f(); }
}
