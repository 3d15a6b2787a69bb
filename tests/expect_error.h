// Checks of the errors the readers return: a test names the part of the message that locates
// what was wrong.
#pragma once

#include <gtest/gtest.h>

#include <string>

#define EXPECT_ERROR_HAS(result, text)                                                 \
  do {                                                                                 \
    const auto& r_ = (result);                                                         \
    ASSERT_FALSE(r_.ok()) << "accepted, expected an error with: " << (text);           \
    EXPECT_NE(r_.error().message.find(text), std::string::npos) << r_.error().message; \
  } while (0)
