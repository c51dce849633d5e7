// EXPECT_RAISES(expr, Type, "text"): `expr` throws `Type` (or a subclass) and
// its message contains `text`. Any other exception escapes and fails the test.
// Thread: the test's.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace pelu::test {

inline ::testing::AssertionResult message_contains(const char* message, const std::string& text)
{
    if (std::string(message).find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the message \"" << message << "\" lacks \"" << text << '"';
}

} // namespace pelu::test

#define EXPECT_RAISES(expr, Type, text)                                                                  \
    do {                                                                                                 \
        try {                                                                                            \
            static_cast<void>(expr);                                                                     \
            ADD_FAILURE() << #expr " threw nothing; expected " #Type;                                    \
        } catch (const Type& raised_error_) {                                                            \
            EXPECT_TRUE(::pelu::test::message_contains(raised_error_.what(), text)) << #expr;            \
        }                                                                                                \
    } while (false)
