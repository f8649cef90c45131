// Resources of extension modules. A module registers its resource table when it is attached,
// so that string ids (and the dialogs built from them) are found by whoever asks the framework.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct CResourceModule {
    std::string name;
    std::map<std::uint32_t, std::string> strings;  // CP949 text by string id
};

void AfxRegisterResourceModule(const CResourceModule* module);
void AfxUnregisterResourceModule(const CResourceModule* module);
// Looks the id up in the registered modules, newest first. False when no module has it.
bool AfxLoadString(std::uint32_t id, std::string& out);
