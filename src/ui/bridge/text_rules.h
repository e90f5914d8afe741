#pragma once

#include <QString>

#include <string>

namespace merrowfax::ui {

// The line under an expiring message, from the seconds left (the fraction
// cut off): "Deletes now", "Deletes in 4:05", "Deletes in 2h 0m".
QString expiryText(double secondsLeft);

// "audio" for a recording by its extension (m4a, aac, mp3, wav, caf, aiff,
// aif, any case), else "file".
QString fileKindFor(const QString& fileName);

// A call's length, "%d:%02d" as minutes and seconds: 65 s reads 1:05, an
// hour 60:00; nothing below 0.
QString durationText(double seconds);

// Reference-date seconds as the locale's short time of day, without seconds.
QString shortTime(double at);

// A contact's second line: the number, then ", " and its place when the
// plan knows its city.
QString numberWithPlace(const std::string& number);

// The chat list's status: "Internet" with nobody online, else "2 online".
QString onlineStatus(int count);

}  // namespace merrowfax::ui
