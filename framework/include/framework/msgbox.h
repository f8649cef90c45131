// Message boxes and error boxes go through one seam. A GUI installs a handler that shows a
// real box; tests install one that answers; without either the box is written to stderr.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr unsigned MB_OK = 0;
inline constexpr unsigned MB_YESNO = 4;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

struct CBoxRequest {
    enum Kind { message, error };
    Kind kind = message;
    std::uint32_t id = 0;  // string id of a message box, code of an error box
    std::string text;      // CP949
    unsigned type = MB_OK;
};

using CBoxHandler = std::function<int(const CBoxRequest&)>;

// Installs a handler (an empty one restores the default) and returns the previous one.
CBoxHandler AfxSetBoxHandler(CBoxHandler handler);
int AfxShowBox(const CBoxRequest& request);
// A message box with the text of a string resource.
int AfxMessageBox(std::uint32_t stringId, unsigned type = MB_OK);
