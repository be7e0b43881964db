#ifndef TUMBLIX_DISPLAY_NAME_H
#define TUMBLIX_DISPLAY_NAME_H

// The recording under replay as the detector's diagnostic line names it. The
// harness forms the name (the last 13 characters of the recording's path);
// the detector keeps a copy of it. One process-wide value, since recordings
// are replayed one after another.
constexpr int kDisplayNameLength = 13;

// Keeps the name; text past kDisplayNameLength characters is not kept.
void tumblix_set_display_name(const char* display_name);
const char* tumblix_display_name();

#endif
