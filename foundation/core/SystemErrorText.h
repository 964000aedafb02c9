#pragma once
// Readable text of a system error code: the message trimmed, a blank, then
// "(error code N)"; only the parenthesised part when there is no message.
// Thread-safe.

#include <string>

std::string SystemErrorText(unsigned code);
