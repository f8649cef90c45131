#include "setup/dialog_texts.h"

#include <QFontMetrics>

#include "framework/codepage.h"

namespace setupui {

const char* const kSetupCaption = "Master-K Data Link Unit 설정";
const char* const kTabPlaceholder = "Tab1";
const char* const kBtnEdit = "편 집";
const char* const kBtnDelete = "삭 제";
const char* const kBtnAddStation = "스테이션 추가";
const char* const kBtnAddBlock = "통신블록 추가";
const char* const kBtnSave = "저 장";
const char* const kBtnClose = "종 료";

const char* const kStationPageCaption = "스테이션";
const char* const kCommPortPageCaption = "통신포트";
const char* const kIoAddressLabel = "I/O 어드레스";
const char* const kBaseAddressLabel = "Base 어드레스";
const char* const kBoardTestButton = "K-Link (DLU) Board 검사";
const char* const kIoEntries[16] = {" 300", " 310", " 320", " 330", " 340", " 350", " 360", " 370",
                                    " 380", " 390", " 3A0", " 3B0", " 3C0", " 3D0", " 3E0", " 3F0"};
const char* const kMemEntries[12] = {" C000", " C400", " C800", " CC00", " D000", " D400",
                                     " D800", " DC00", " E000", " E400", " E800", " EC00"};

const char* const kStationDlgCaption = "스테이션 설정";
const char* const kStationNameLabel = "스테이션 이름";
const char* const kCpuTypeLabel = "PLC CPU 종류";
const char* const kCpuEntries[4] = {"Master K-200 ", "Master K-250", "Master K-500",
                                    "Master K-1000"};
const char* const kStationNoLabel = "통신보드 국번";
const char* const kStationNoHint = "(0 - 31)";
const char* const kStationDescLabel = "스테이션 설명";

const char* const kBlockDlgCaption = "통신블록 설정";
const char* const kAddressLabel = "어드레스";
const char* const kWordCountLabel = "워드 수";
const char* const kWordCountHint = "(1 - 60)";
const char* const kPeriodLabel = "통신주기";
const char* const kPeriodUnit = "(초) ";

const char* const kBtnRegister = "등 록";
const char* const kBtnCancel = "취 소";

std::string ParseIntPrompt() { return Utf8ToCp949("정수를 입력하십시오."); }
std::string ParseRealPrompt() { return Utf8ToCp949("숫자를 입력하십시오."); }

std::string IntRangePrompt(int low, int high) {
    return Utf8ToCp949(std::to_string(low) + "과 " + std::to_string(high) +
                       " 사이의 정수를 입력하십시오.");
}

std::string RealRangePrompt(const char* low, const char* high) {
    return Utf8ToCp949(std::string(low) + "과 " + high + " 사이의 숫자를 입력하십시오.");
}

const unsigned kBadPortBoxId = 0;
std::string BadPortText() {
    return Utf8ToCp949(
        "저장된 통신포트 설정이 목록에 없는 값이어서 기본값(I/O 어드레스 340, "
        "Base 어드레스 D800)을 선택합니다.");
}

QString FromCp949(const std::string& cp949) { return QString::fromStdString(Cp949ToUtf8(cp949)); }
std::string ToCp949(const QString& text) { return Utf8ToCp949(text.toStdString()); }

QFont DialogFont() {
    // Nanum Gothic stands in for the Korean system face; at 11 px the widest button caption
    // ("스테이션 추가") fits its 48-unit button as it does on the original system.
    QFont font(QStringLiteral("NanumGothic"));
    font.setPixelSize(11);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void FitText(QPushButton& button) {
    // Room for the label: the button's width less the frame and a little air on each side.
    const int room = button.width() - 10;
    QFont font = button.font();
    while (QFontMetrics(font).horizontalAdvance(button.text()) > room) {
        if (font.pixelSize() > 0) {
            if (font.pixelSize() <= 8) break;
            font.setPixelSize(font.pixelSize() - 1);
        } else {
            if (font.pointSizeF() <= 6) break;
            font.setPointSizeF(font.pointSizeF() - 0.5);
        }
    }
    button.setFont(font);
}

}  // namespace setupui
