// The metrics written once to a file for node_exporter's textfile collector.
#pragma once

#include <string>

namespace tavrik::exporter {

// Replaces path with text: written to a new file of its own in the same directory (never one
// found there under some name), made 0644, synced, renamed over path, and the directory synced.
// A reader sees the old file or the whole new one. On failure path is untouched, no temporary
// file stays, and error says what failed.
bool replaceTextfile(const std::string& path, const std::string& text, std::string& error);

}  // namespace tavrik::exporter
