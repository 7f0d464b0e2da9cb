// Marks the few symbols a shared library of the system exports; everything
// else is built with hidden visibility.
#pragma once

#define QV_EXPORT __attribute__((visibility("default")))
