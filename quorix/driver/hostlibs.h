// The host libraries the module loads at run time, one set per process.
#pragma once

#include <cstdint>
#include <string>

class CTagVal;

namespace hostlibs {

// Loads "TarvoDbm.dll" and then "DezudurE.dll" with their "FuncTable" exports, each only if it
// is not loaded yet (a failed load is tried again next time).
void LoadRuntimeLibraries();
// Loads "Project.dll" and looks up "PrjFuncTable"; false when either is missing. The library
// stays loaded until FreeProject.
bool LoadProject();
void FreeProject();
// Frees Project, DezudurE and TarvoDbm, in this order, each only if loaded.
void FreeAll();

// True while the runtime library's message output is at hand.
bool HasMessageOutput();
void MessageOutput(std::int32_t value, std::int32_t classWord, const char* text);
// The tag's name from the tag database; without the database a placeholder "#<id>".
std::string TagName(std::int32_t tagId);
// Hands a value to the tag database; false without it.
bool SetTagValue(std::int32_t tagId, const CTagVal& value);

}  // namespace hostlibs
