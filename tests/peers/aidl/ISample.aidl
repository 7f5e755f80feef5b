package com.example.vorn;

// The sample service of the test machine, registered as "sample" and "sample.critical".
// Methods are numbered from 1 in the order they are declared here.
interface ISample {
    int add(int a, int b);
    String echo(String text);
    boolean isEven(int value);
    float half(int value);
    void setLabel(String label);
    String getLabel();
    long square(int value);
    IBinder self();
    // Repeats the word count times (0 to 100), in capitals when shout is true.
    String repeat(String word, int count, boolean shout);
    // Fails with an illegal-argument error when divisor is 0.
    int divide(int dividend, int divisor);
    // Always fails, with a service-specific error carrying the code.
    void fail(int code);
    // The number of method calls served so far, this one included.
    int callCount();
    long addLong(long a, in long b);
    double scale(in double value, float factor);
    // The next byte value, wrapping from 127 to -128.
    byte nextByte(in byte value);
    // The upper-case form of an ASCII letter; other characters unchanged.
    char upper(char c);
    // The binder that the service manager hands out for name (null when it has none).
    IBinder find(String name);
    // A descriptor open on /dev/null.
    ParcelFileDescriptor openNull();
    oneway void poke(int value);
    // What the call carried after the token, word by word, each object checked as this
    // release's reader takes it: called by number with typed words, it echoes them.
    String inspect();
    // Never served: its argument is of a type that cannot be given on the command line.
    void keep(in Bundle extras);
}
