#include <gtest/gtest.h>
TEST(CameraProgram, Placeholder) { SUCCEED(); }
