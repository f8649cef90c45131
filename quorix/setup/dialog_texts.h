// Texts of the setup dialogs (captions, labels, list entries) and of the framework's data
// exchange prompts. They are kept in UTF-8 for the widgets; the records' own texts stay CP949
// and are converted where they meet a widget.
#pragma once

#include <QFont>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <string>

namespace setupui {

// Dialog 9001.
extern const char* const kSetupCaption;
extern const char* const kTabPlaceholder;
extern const char* const kBtnEdit;
extern const char* const kBtnDelete;
extern const char* const kBtnAddStation;
extern const char* const kBtnAddBlock;
extern const char* const kBtnSave;
extern const char* const kBtnClose;
// Pages 9002 and 9003.
extern const char* const kStationPageCaption;
extern const char* const kCommPortPageCaption;
extern const char* const kIoAddressLabel;
extern const char* const kBaseAddressLabel;
extern const char* const kBoardTestButton;
extern const char* const kIoEntries[16];
extern const char* const kMemEntries[12];
// Dialog 9004.
extern const char* const kStationDlgCaption;
extern const char* const kStationNameLabel;
extern const char* const kCpuTypeLabel;
extern const char* const kCpuEntries[4];
extern const char* const kStationNoLabel;
extern const char* const kStationNoHint;
extern const char* const kStationDescLabel;
// Dialog 9005.
extern const char* const kBlockDlgCaption;
extern const char* const kAddressLabel;
extern const char* const kWordCountLabel;
extern const char* const kWordCountHint;
extern const char* const kPeriodLabel;
extern const char* const kPeriodUnit;
// Both sub-dialogs.
extern const char* const kBtnRegister;
extern const char* const kBtnCancel;

// The framework's data exchange prompts (CP949 on the box seam), with their message ids.
enum : unsigned {
    AFX_IDP_PARSE_INT = 0xF110,
    AFX_IDP_PARSE_REAL = 0xF111,
    AFX_IDP_PARSE_INT_RANGE = 0xF112,
    AFX_IDP_PARSE_REAL_RANGE = 0xF113,
};
// "정수를 입력하십시오." / "숫자를 입력하십시오."
std::string ParseIntPrompt();
std::string ParseRealPrompt();
// "0과 63 사이의 정수를 입력하십시오." with the bounds as given.
std::string IntRangePrompt(int low, int high);
// "0과 999.9 사이의 숫자를 입력하십시오."
std::string RealRangePrompt(const char* low, const char* high);
// The box shown when a file holds board indexes outside the lists.
extern const unsigned kBadPortBoxId;
std::string BadPortText();

inline QString Tr(const char* utf8) { return QString::fromUtf8(utf8); }
// Record texts (CP949) to and from widgets.
QString FromCp949(const std::string& cp949);
std::string ToCp949(const QString& text);

// Dialog units of the templates' font (MS Sans Serif 8 pt: 6 x 13 base units) to pixels.
inline int DluX(int x) { return x * 6 / 4; }
inline int DluY(int y) { return y * 13 / 8; }
inline QRect Dlu(int x, int y, int w, int h) { return QRect(DluX(x), DluY(y), DluX(w), DluY(h)); }
// A button whose label would touch its edges at the dialog's font gets the font a little
// smaller (Hangul is twice as wide as the dialog units' average character).
void FitText(QPushButton& button);
// The dialogs' font: a Hangul face whose cell matches the base units.
QFont DialogFont();

}  // namespace setupui
