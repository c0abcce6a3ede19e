// The sorted list box that every list of the console is.
#include <gtest/gtest.h>

#include "console/console_fixture.h"

namespace vextora::test {
namespace {

using console::SortedListBox;

TEST(SortedList, KeepsEntriesInOrderWithoutRegardToCase) {
    const struct {
        std::vector<std::string> added;
        QStringList shown;
    } cases[] = {
        {{"bob", "Alice", "carol"}, {"Alice", "bob", "carol"}},
        {{"b", "B", "a", "A"}, {"A", "a", "B", "b"}},
        {{"127.0.0.1", "ADMIN", "127.0.0.1"}, {"127.0.0.1", "127.0.0.1", "ADMIN"}},
        {{"..", "Zeta", "alpha"}, {"..", "alpha", "Zeta"}},
    };
    for (const auto& c : cases) {
        SortedListBox list;
        for (const std::string& entry : c.added) list.addEntry(entry);
        QStringList shown;
        for (int i = 0; i < list.count(); ++i) shown << list.item(i)->text();
        EXPECT_EQ(shown, c.shown);
    }
}

TEST(SortedList, SelectedEntryKeepsBytesThatAreNotText) {
    SortedListBox list;
    const std::string raw = "caf\xe9.txt";  // Latin-1, not UTF-8
    list.addEntry(raw);
    EXPECT_EQ(list.selectedEntry(), std::nullopt);
    list.setCurrentRow(0);
    EXPECT_EQ(list.selectedEntry(), raw);
    list.removeSelectedEntry();
    EXPECT_EQ(list.count(), 0);
}

TEST(SortedList, RemovingTheSelectedEntryPicksNoOther) {
    for (int chosen : {0, 1, 2}) {  // the first, a middle and the last entry
        SCOPED_TRACE(chosen);
        SortedListBox list;
        for (const char* entry : {"ALICE", "BOB", "CAROL"}) list.addEntry(entry);
        list.setCurrentRow(chosen);
        list.removeSelectedEntry();
        EXPECT_EQ(list.count(), 2);
        EXPECT_EQ(list.selectedEntry(), std::nullopt);
        EXPECT_TRUE(list.selectedItems().isEmpty());
    }
}

}  // namespace
}  // namespace vextora::test
