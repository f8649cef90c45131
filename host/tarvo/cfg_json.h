// The JSON form of a driver configuration that `tarvo cfg import` reads, apart from files, so
// that tests and fuzz targets hand it bytes.
#pragma once

#include <string>
#include <string_view>

class CQuorixDoc;

// Fills an empty document from JSON text, checked as the setup dialogs check their input.
// False with a message naming the place of the first fault (a JSON path, or the JSON error).
bool ConfigFromJson(std::string_view text, CQuorixDoc& doc, std::string& error);
