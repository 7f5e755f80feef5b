/*
 * A block comment with { braces } and a ; that must not count.
 */
package com.example.sample;

@VintfStability
@SuppressWarnings(value={"inout-parameter", "mutable-parcelable"})
interface IAnnotated {
    // A line comment: void hidden();
    @UnsupportedAppUsage(maxTargetSdk = 30, trackingBug = 170729553)
    List<String> names(in @nullable String filter, int max);
    Map<String, List<int>> table(inout Bundle b, out int[] counts);
    @nullable IBinder find(String name /* inline ; comment */);
    const int VERSION = 3;
    const String NAME = "a;b{c}";
    boolean check(char c, byte b, float f, double d);
}
