#include "ui/ServiceList.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>

#include "ui/Glyphs.h"

namespace {

int CALLBACK CompareCaptions(LPARAM first, LPARAM second, LPARAM list)
{
    char a[1024] = {}, b[1024] = {};
    ListView_GetItemText(reinterpret_cast<HWND>(list), static_cast<int>(first), 0, a, sizeof a);
    ListView_GetItemText(reinterpret_cast<HWND>(list), static_cast<int>(second), 0, b, sizeof b);
    return lstrcmpiA(a, b);
}

// What a row shows and carries.
LVITEMA RowItem(int row, const std::string& caption, int index, int image)
{
    LVITEMA item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    item.iItem = row;
    item.pszText = const_cast<char*>(caption.c_str());
    item.lParam = index;
    item.iImage = image;
    return item;
}

} // namespace

int TServiceList::Count() const
{
    return ListView_GetItemCount(list_);
}

int TServiceList::Insert(const std::string& caption, int index, int image)
{
    LVITEMA item = RowItem(INT_MAX, caption, index, image);
    return static_cast<int>(SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void TServiceList::Remember(int index, int serviceID)
{
    if (serviceIDs_.size() <= static_cast<size_t>(index))
        serviceIDs_.resize(static_cast<size_t>(index) + 1);
    serviceIDs_[static_cast<size_t>(index)] = serviceID;
}

void TServiceList::Fill(std::vector<TCatalogueRow> rows)
{
    SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(list_);
    serviceIDs_.assign(rows.size() + 1, 0);
    for (const TCatalogueRow& row : rows)
        Remember(row.Index, row.ServiceID);
    // Rows go in already sorted, each at the end, and the list is drawn once.
    // The list's own sorted insertion is off meanwhile: it compares every
    // new row with the rows before it, seconds for a few thousand rows.
    std::stable_sort(rows.begin(), rows.end(), [](const TCatalogueRow& a, const TCatalogueRow& b) {
        return lstrcmpiA(a.Description.c_str(), b.Description.c_str()) < 0;
    });
    const LONG_PTR style = GetWindowLongPtrA(list_, GWL_STYLE);
    SetWindowLongPtrA(list_, GWL_STYLE, style & ~LVS_SORTASCENDING);
    for (const TCatalogueRow& row : rows)
        Insert(row.Description, row.Index, row.Installed ? imgInstalled : imgNotInstalled);
    SetWindowLongPtrA(list_, GWL_STYLE, style);
    SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, TRUE);
}

int TServiceList::Add(const std::string& description, int index, int serviceID, int image)
{
    Remember(index, serviceID);
    return Insert(description, index, image);
}

void TServiceList::Change(int row, const std::string& description, int index, int serviceID, int image)
{
    Remember(index, serviceID);
    LVITEMA item = RowItem(row, description, index, image);
    SendMessageA(list_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    SendMessageA(list_, LVM_SORTITEMSEX, reinterpret_cast<WPARAM>(list_), reinterpret_cast<LPARAM>(&CompareCaptions));
}

std::string TServiceList::Caption(int row) const
{
    char text[1024] = {};
    LVITEMA item = {};
    item.iSubItem = 0;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

std::vector<std::string> TServiceList::Captions() const
{
    std::vector<std::string> captions;
    for (int row = 0; row < Count(); ++row)
        captions.push_back(Caption(row));
    return captions;
}

int TServiceList::Data(int row) const
{
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    SendMessageA(list_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return static_cast<int>(item.lParam);
}

int TServiceList::Image(int row) const
{
    LVITEMA item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageA(list_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
}

void TServiceList::SetImage(int row, int image)
{
    LVITEMA item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = image;
    SendMessageA(list_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

TEntryKey TServiceList::Key(int row) const
{
    const size_t index = static_cast<size_t>(Data(row));
    return {Caption(row), index < serviceIDs_.size() ? serviceIDs_[index] : 0};
}

int TServiceList::RowOf(const TEntryKey& key) const
{
    int byID = -1, sharing = 0;
    for (int row = 0; row < Count(); ++row) {
        const TEntryKey listed = Key(row);
        const bool sameID = listed.ServiceID == key.ServiceID;
        if ((key.ServiceID == 0 || sameID) && lstrcmpiA(listed.Description.c_str(), key.Description.c_str()) == 0)
            return row;
        if (key.ServiceID != 0 && sameID) {
            byID = row;
            ++sharing;
        }
    }
    return sharing == 1 ? byID : -1;
}

int TServiceList::Selected() const
{
    return static_cast<int>(ListView_GetNextItem(list_, -1, LVNI_SELECTED));
}

void TServiceList::Select(int row)
{
    Unselect();
    ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list_, row, FALSE);
}

void TServiceList::Unselect()
{
    ListView_SetItemState(list_, -1, 0, LVIS_SELECTED);
}
