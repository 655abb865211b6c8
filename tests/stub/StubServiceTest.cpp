#include <gtest/gtest.h>
int placeholder_never_used;
