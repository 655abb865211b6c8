#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "catalogue/Catalogue.h"

// The main window's list of services over its list-view control: one row per
// catalogue entry, captioned with its description, imaged installed or not,
// sorted by caption, carrying the entry's list index as its data. Beside the
// rows it keeps the service ID each listed entry had, by list index, so a
// row names its entry by description and ID (TEntryKey). Rows are counted
// from 0 in display order; -1 is no row.
class TServiceList {
public:
    void SetHandle(HWND list) { list_ = list; }
    HWND Handle() const { return list_; }

    int Count() const;
    // Lists the entries, sorted, drawn once.
    void Fill(std::vector<TCatalogueRow> rows);
    // One entry more, at the end of the list indexes; the row it went to.
    int Add(const std::string& description, int index, int serviceID, int image);
    // The row shows the entry at list index again, its caption sorted anew.
    void Change(int row, const std::string& description, int index, int serviceID, int image);

    std::string Caption(int row) const;
    // Every caption, in display order.
    std::vector<std::string> Captions() const;
    int Data(int row) const;
    int Image(int row) const;
    void SetImage(int row, int image);
    // The entry a row stands for: the description it shows and the service
    // ID the entry had when it was listed.
    TEntryKey Key(int row) const;
    // The row of the key's entry: the one with its description and service
    // ID, or else the one row with its service ID (a rename is followed).
    int RowOf(const TEntryKey& key) const;

    int Selected() const;
    // Selects that row alone and shows it.
    void Select(int row);
    void Unselect();

private:
    int Insert(const std::string& caption, int index, int image);
    void Remember(int index, int serviceID);

    HWND list_ = nullptr;
    std::vector<int> serviceIDs_;
};
