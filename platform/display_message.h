// display_message.h: the one piece of message display each platform implementation provides.
#pragma once

// Shows a code page 932 message the system's own way and returns when the user has seen it: a
// modal message box on Windows, a line "CAPTION: TEXT" in UTF-8 on standard error on POSIX.
// Only PlatShowMessage calls it, when no sink is set.
void PlatDisplayMessage(const char* text, const char* caption);
