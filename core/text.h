#pragma once

#include <string>

// The text with each invalid UTF-8 sequence replaced by a space: what the
// daemon stores of a plugin's output, and what a sender sends of a line
// that is not UTF-8 (a WebSocket text frame must be).
std::string validUtf8(const std::string& text);
