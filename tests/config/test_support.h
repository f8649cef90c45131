// Captures what the module shows: runtime messages (raw CP949) and error/message boxes.
#pragma once

#include <string>
#include <vector>

#include "dezudur/output.h"
#include "driver/hostlibs.h"
#include "framework/codepage.h"
#include "framework/msgbox.h"

struct CapturedMessage {
    int value;
    int classWord;
    std::string text;  // CP949 as received
};

class MessageCapture {
public:
    MessageCapture() {
        hostlibs::LoadRuntimeLibraries();
        DezSetSink([this](int v, int c, const std::string& raw) {
            messages.push_back({v, c, raw});
        });
    }
    ~MessageCapture() { DezSetSink(nullptr); }
    std::vector<CapturedMessage> messages;
};

class BoxCapture {
public:
    explicit BoxCapture(int answer = IDOK) {
        AfxSetBoxHandler([this, answer](const CBoxRequest& r) {
            boxes.push_back(r);
            return answer;
        });
    }
    ~BoxCapture() { AfxSetBoxHandler(nullptr); }
    std::vector<CBoxRequest> boxes;
};

inline std::string K(const char* utf8) { return Utf8ToCp949(utf8); }
