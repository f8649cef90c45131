// SCAFFOLD: being replaced by the board protocol implementation.
#include "board/dluboard.h"
const std::uint16_t kDluIoBases[kDluIoBaseCount] = {};
const std::uint32_t kDluMemBases[kDluMemBaseCount] = {};
CDluBoard::CDluBoard() = default;
int CDluBoard::Open(int, int) { return 12; }
void CDluBoard::Close() {}
