// What vantor writes: texts for a terminal (by the one escaping rule of
// escape.h), text for JSON, and whether stdout took everything.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "escape.h"
#include "utf8.h"

namespace vantor::cli {

using text::EchoLine;
using text::Shown;
using text::ShownPane;
using text::Utf8;

// Sets object[key] to bytes as a JSON string. Bytes that are not UTF-8
// are read as Latin-1 (a byte b becomes U+00b), and the raw bytes are
// added in hex as object["raw"][key], so nothing is lost.
void PutText(nlohmann::json& object, const std::string& key, const std::string& bytes);
// JSON text of value, never failing on any string.
std::string Dump(const nlohmann::json& value);

// Makes writes to a closed pipe fail with EPIPE instead of ending the
// process, for commands that must finish what they started.
void KeepRunningOnClosedPipe();
// At the end of a command: stdout flushed and closed; if anything written
// to it was lost, "vantor: writing output failed: REASON" and exit code 1
// in place of code (when code was 0).
int FinishOutput(int code);

}  // namespace vantor::cli
