#pragma once
// The bad-page report as a text file: one line per node of the tree, the
// node's text after one tab per level below the top, lines ended by CR LF.
// No Qt here.

#include <filesystem>
#include <string>
#include <vector>

#include "engine/bad_page_tree.h"

namespace kvx::ui {

std::string BadPageReportText(const std::vector<BadPageTree::Node>& nodes);

// Writes the report; false with the reason when the file could not be
// written completely.
bool WriteBadPageReport(const std::filesystem::path& file,
                        const std::vector<BadPageTree::Node>& nodes, std::string& error);

}  // namespace kvx::ui
