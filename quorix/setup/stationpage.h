// The station tree page: the document at the root, its stations, and each station's blocks.
#pragma once

#include <QIcon>
#include <QList>

#include "tarvosub/ui.h"

class CObject;
class CSetupDlg;
class CStationInfo;
class CCommBlock;
class QTreeWidget;
class QTreeWidgetItem;
class QPixmap;

class CStationPage : public CPropertyPage {
public:
    enum { IDD = 9002, IDC_TREE = 9012, IDB_TREE = 9034 };
    enum { IMAGE_ROOT = 0, IMAGE_STATION = 1, IMAGE_BLOCK = 2 };

    CStationPage();
    void SetOwner(CSetupDlg* owner) { m_pOwner = owner; }
    // The selected item's record and its kind (image index); none for no selection (kind left
    // unwritten) and for the root.
    CObject* GetSelection(int& kind) const;
    CStationInfo* CurrentStation() const { return m_pCurStation; }
    void InsertStation(CStationInfo* station);
    void UpdateStation(CStationInfo* station);
    void InsertBlock(CCommBlock* block);
    void UpdateBlock(CCommBlock* block);
    // Deletes the selected item with its children and selects a neighbour (the next sibling,
    // else the previous one, else the parent), which makes its station current.
    void DeleteSelection();
    void EnableButtons();

    QTreeWidget* Tree() const { return m_pTree; }
    QTreeWidgetItem* RootItem() const { return m_hRoot; }

    // Bitmap 9034: a 58 x 16 strip of 16 x 16 pictures (document, station, block) on magenta.
    static QPixmap LoadTreeBitmap();

protected:
    void OnInitDialog() override;
    void OnShowWindow(bool show) override;

private:
    QTreeWidgetItem* SelectedItem() const;
    QTreeWidgetItem* AddItem(QTreeWidgetItem* parent, const QString& text, int image,
                             CObject* data);
    void OnSelChanged();
    void OnDblClk();

    QTreeWidget* m_pTree = nullptr;
    CStationInfo* m_pCurStation = nullptr;
    CSetupDlg* m_pOwner = nullptr;
    QList<QIcon> m_images;
    QTreeWidgetItem* m_hRoot = nullptr;
};
