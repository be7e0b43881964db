#ifndef TUMBLIX_DISPLAY_NAME_H
#define TUMBLIX_DISPLAY_NAME_H

// The recording under replay as the detector's diagnostic line names it: the
// last 13 characters of its path (the whole path when it is shorter). One
// process-wide value, since recordings are replayed one after another.
constexpr int kDisplayNameLength = 13;

void tumblix_set_display_name(const char* recording_path);
const char* tumblix_display_name();

#endif
