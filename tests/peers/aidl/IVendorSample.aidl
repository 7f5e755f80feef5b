package com.example.vorn;

// The vendor sample service of the test machine, registered as "vendor.sample" on vndbinder.
// Methods are numbered from 1 in the order they are declared here.
interface IVendorSample {
    String greet(String name);
    // Flips a switch and returns its new position; it starts off.
    boolean toggle();
    int add(int a, int b);
    // Turns the switch off.
    void reset();
    // The number of method calls served so far, this one included.
    int callCount();
}
