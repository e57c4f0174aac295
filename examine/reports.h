// Conversion reports seen from QXInspect: the report beside an asset (names and
// seconds for its summary), and a one-line digest of every report in a folder.
#pragma once

#include <string>
#include <vector>

#include "reader/asset_reader.h"
#include "report/report.h"

namespace qx::examine {

// The report at reportPath, when it describes the asset file at assetPath (same size
// and CRC-32). False with *error in words when it cannot be read or is another file's.
bool LoadReportOf(const std::string& assetPath, const std::string& reportPath,
                  report::Report* report, std::string* error);

// Lines to follow the asset's summary: channel names and seconds for an animation,
// materials and textures for a model, then what the asset does not carry.
std::string ReportSummary(const report::Report& report, const reader::AssetFile& asset);

// One line per report (*.json) in folder, sorted by name: the asset and what it does
// not carry; JSON that is not a report is passed over. *failed says, a sentence each,
// which reports have a finding of a kind in failOn and which cannot be read (not a
// regular file, cut short, another schema version, a field wrong).
bool SummariseReports(const std::string& folder, const std::vector<std::string>& failOn,
                      std::string* text, std::vector<std::string>* failed, std::string* error);

}  // namespace qx::examine
