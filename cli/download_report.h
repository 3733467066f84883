// What vantor download tells of an attempt: each reader's word on how it
// ended, the summary table of a batch and the JSON summary.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "attempt.h"

namespace vantor::cli {

// The file checked and loaded into *file once, as download does: a firmware
// image confirmed on the terminal or by assumeYes. The exit code to end
// with when it cannot be sent, with the reason said on stderr and given in
// *why (for JSON).
std::optional<int> LoadToSend(const std::string& path, bool assumeYes, app::DownloadFile* file,
                              std::string* why);

// The summary's word on a reader: "Download SUCCESS!", the failing step's
// text, what a stop left in the reader, ...; mode is the file's.
std::string ReaderMessage(const app::DownloadEnd& end, std::uint8_t mode);

// The JSON summary of an attempt (no readers: one that ended before any).
nlohmann::json Summary(const std::string& file, const app::AttemptResult& result,
                       std::uint8_t mode);
// The table of a batch on stdout, a row a reader and a line of totals.
void PrintTable(const app::AttemptResult& result, std::uint8_t mode);
// The pane's text on stdout, ending with one line break.
void PrintPane(const std::wstring& pane);
// The pane without its last line (a success line that did not hold).
std::wstring WithoutLastLine(const std::wstring& pane);

// A download that ends before any reader: with --json the summary with the
// reason and no readers. Returns code.
int EndEarly(int code, const std::string& file, const std::string& reason, bool json);

}  // namespace vantor::cli
