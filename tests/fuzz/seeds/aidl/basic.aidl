package com.example.sample;

import android.os.IBinder;

interface ISample {
    int add(int a, int b);
    String echo(in String text);
    oneway void notify(long when);
    void none();
}
