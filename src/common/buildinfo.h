#ifndef RIMEGLASS_BUILDINFO_H
#define RIMEGLASS_BUILDINFO_H

#include <QString>

// What a build of rimeglass says about itself: its version and the firmware key it
// verifies containers with (rimeglass-version.h).
namespace BuildInfo {

QString version();
QString firmwareKeyFingerprint();
bool trustsDevelopmentKey();

// "development key — accepts containers signed with the published development seed",
// or a sentence saying that any other key is not that one.
QString firmwareKeyDescription();

// What --version prints: "<program> <version>", then the firmware key and its
// fingerprint, one line each, each ending in a newline.
QString versionReport(const QString &program);

} // namespace BuildInfo

#endif
