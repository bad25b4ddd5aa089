// Expected texts kept in sections of text files under tests/.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace stktest {

// Section `name` of the text file `file` under tests/: the text after the line
// "### name" up to the next "### " line (the newline before it is not part of it).
std::string golden(const std::string& file, const std::string& name);
// For EXPECT_TRUE: `text` is golden(file, name), in which each "[...]" stands
// for any text and "{menu}" for the section "Menu" (repeated menus stay short).
// With STK_UPDATE_GOLDEN=1 in the environment the section is written from
// `text` instead ("{menu}" where the text holds the menu); a section with
// "[...]" is not, and fails: it needs an edit by hand.
::testing::AssertionResult matchesGolden(const std::string& text, const std::string& file,
                                         const std::string& name);

}  // namespace stktest
