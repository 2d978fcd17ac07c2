#include "base/Text.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(Text, LowerChangesAsciiLettersOnly) {
    EXPECT_EQ(base::Lower("VID_0418&PID_5011"), "vid_0418&pid_5011");
    EXPECT_EQ(base::Lower("\\\\?\\USB#Vid_0418"), "\\\\?\\usb#vid_0418");
    EXPECT_EQ(base::Lower("\xC3\x84@[`{"), "\xC3\x84@[`{");  // UTF-8 and the neighbours of A-Z stay
    EXPECT_EQ(base::Lower(""), "");
}

TEST(Text, LocaleNameTakesTheFirstVariableSetAndNotEmpty) {
    struct Case {
        const char* all;
        const char* messages;
        const char* ctype;
        const char* lang;
        const char* forMessages;
        const char* forCType;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", "en_US", "ru_RU", "ja_JP", "zh_CN.UTF-8", "zh_CN.UTF-8"},
        {"", "en_US", "ru_RU", "ja_JP", "en_US", "ru_RU"},
        {nullptr, nullptr, "ru_RU", "ja_JP", "ja_JP", "ru_RU"},
        {nullptr, "", "", "ko_KR", "ko_KR", "ko_KR"},
        {nullptr, nullptr, nullptr, "", "", ""},
        {nullptr, nullptr, nullptr, nullptr, "", ""},
    };
    auto set = [](const char* name, const char* value) {
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    };
    for (const Case& c : cases) {
        set("LC_ALL", c.all);
        set("LC_MESSAGES", c.messages);
        set("LC_CTYPE", c.ctype);
        set("LANG", c.lang);
        EXPECT_EQ(base::LocaleName(base::LocaleCategory::Messages), c.forMessages) << c.forMessages;
        EXPECT_EQ(base::LocaleName(base::LocaleCategory::CType), c.forCType) << c.forCType;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) ::unsetenv(name);
}
