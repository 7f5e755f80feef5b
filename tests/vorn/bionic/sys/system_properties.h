// The declarations of the platform's property call, as Android's C library has them, so that
// the bionic path of the device seam is compiled on every build.
#pragma once
#define PROP_VALUE_MAX 92
extern "C" int __system_property_get(const char *name, char *value);
