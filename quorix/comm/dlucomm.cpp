// SCAFFOLD: being replaced by the engine implementation.
#include "comm/dlucomm.h"
CDluComm::CDluComm(CQuorixDoc*) {}
CDluComm::~CDluComm() = default;
std::int32_t CDluComm::Start() { return 12; }
std::int32_t CDluComm::BuildGroupRequests() { return 0; }
void CDluComm::SetActive(std::int32_t) {}
std::int32_t CDluComm::Stop() { return 0; }
std::int32_t CDluComm::RegisterTag(CStationInfo*, const std::string&, std::int32_t, std::int32_t,
                                   const TagBinding&) { return -1; }
std::int32_t CDluComm::WriteTag(std::int32_t, const CTagVal&) { return 0; }
bool CDluComm::IsRunning() const { return false; }
bool CDluComm::BoardIsOpen() const { return false; }
