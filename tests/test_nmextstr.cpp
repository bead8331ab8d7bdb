#include <gtest/gtest.h>

#include "mail/nmextstr.h"

namespace {

TExStringList ListOf(std::initializer_list<const char*> Lines, bool Sorted = false) {
    TExStringList list;
    list.Sorted = Sorted;
    for (const char* line : Lines)
        list.Add(line);
    return list;
}

} // namespace

TEST(ExStringList, NamesAndValues) {
    const TExStringList list = ListOf(
        {"From: x", "Subject", "To: y", "subject:Hello", "X-Two:  two", "Empty:", "to: later"});
    const std::tuple<const char*, int, const char*> cases[] = {
        {"To", 2, "y"},       {"TO", 2, "y"},   {"subject", 3, "Hello"},
        {"X-Two", 4, " two"}, {"Empty", 5, ""}, {"Missing", -1, ""},
        {"", -1, ""},
    };
    for (const auto& [name, index, value] : cases) {
        EXPECT_EQ(list.IndexOfName(name), index) << name;
        EXPECT_EQ(list.GetValue(name), value) << name;
    }
}

TEST(ExStringList, SetValueReplacesInPlaceAddsAndDeletes) {
    TExStringList list = ListOf({"From: x", "Subject: old", "To: y"});
    list.SetValue("subject", "Hi");
    EXPECT_EQ(list.Text(), "From: x\r\nsubject: Hi\r\nTo: y\r\n");
    list.SetValue("X-Mailer", "vintrop");
    EXPECT_EQ(list.Strings(3), "X-Mailer: vintrop");
    list.SetValue("Subject", "");
    list.SetValue("Absent", "");
    EXPECT_EQ(list.Text(), "From: x\r\nTo: y\r\nX-Mailer: vintrop\r\n");
}

TEST(ExStringList, SortedListIsSearchedByHalves) {
    const TExStringList list =
        ListOf({"Date: d", "CC: c", "To: t", "From: f", "Subject: s", "Reply-To: r"}, true);
    const std::pair<const char*, const char*> cases[] = {
        {"cc", "c"}, {"Date", "d"}, {"FROM", "f"}, {"reply-to", "r"}, {"Subject", "s"}, {"to", "t"},
    };
    for (const auto& [name, value] : cases)
        EXPECT_EQ(list.GetValue(name), value) << name;
    EXPECT_EQ(list.IndexOfName("Bcc"), -1);
    EXPECT_EQ(list.IndexOfName("Zzz"), -1);
    EXPECT_EQ(ListOf({}, true).IndexOfName("To"), -1);
}

TEST(StringList, CompareIgnoresCaseOfLatinAndCyrillicLetters) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"", "", 0},
        {"Subject", "sUBJECT", 0},
        {"ab", "abc", -1},
        {"b", "A", 1},
        {"\xC0\xE1\xE2", "\xE0\xC1\xC2", 0}, // "Абв", "аБВ"
        {"\xA8\xE6", "\xB8\xC6", 0},         // "Ёж", "ёЖ"
        {"z", "\xE0", -1},                   // bytes above 127 sort after ASCII
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(AnsiCompareText(a, b), order) << a << " / " << b;
        EXPECT_EQ(AnsiCompareText(b, a), -order) << b << " / " << a;
    }
}

TEST(StringList, TextSplitsAtEachKindOfLineBreak) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"a\nb\r", {"a", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {"\r\n\r\n", {"", ""}},
        {"no break", {"no break"}},
    };
    for (const auto& [text, lines] : cases) {
        TStringList list;
        list.SetText(text);
        std::vector<std::string> got;
        for (int i = 0; i < list.Count(); ++i)
            got.push_back(list.Strings(i));
        EXPECT_EQ(got, lines) << text;
    }
}
