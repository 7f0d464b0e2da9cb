// Marks the few symbols a shared library of the system exports; everything
// else is built with hidden visibility.
#pragma once

#ifdef _WIN32
#define QV_EXPORT __declspec(dllexport)
#else
#define QV_EXPORT __attribute__((visibility("default")))
#endif
