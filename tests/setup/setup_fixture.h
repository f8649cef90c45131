// Helpers for driving the setup dialogs headless: boxes answered through the seam, documents
// built from the example plant, temporary configuration paths.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/doc.h"
#include "framework/msgbox.h"

namespace setuptest {

// Records every box and answers yes/no questions from a script (No when the script is empty).
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    void Answer(int answer) { answers_.push_back(answer); }
    std::vector<std::uint32_t> Ids() const;
    const std::vector<CBoxRequest>& Boxes() const { return boxes_; }
    void Clear() { boxes_.clear(); }

private:
    std::vector<CBoxRequest> boxes_;
    std::deque<int> answers_;
    CBoxHandler previous_;
};

// A fresh folder under the test's temporary directory.
std::string TempDir();
// A document filled from examples/plant.json (stations PLC1, PLC2, BOILER, PACK), with its
// path set to `path`.
std::unique_ptr<CQuorixDoc> PlantDoc(const std::string& path);
// The file's bytes ("" when there is none).
std::string ReadFile(const std::string& path);

// Runs a sub-dialog "modally" in a test: the script fills and presses; the result is the
// dialog's own (Accepted only if its OK handling accepted).
using DialogScript = std::function<void(QDialog& dialog)>;
int RunScript(QDialog& dialog, const DialogScript& script);

}  // namespace setuptest
