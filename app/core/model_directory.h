// Where the model lives, which files make it whole, and where it is downloaded from.
#ifndef ORVANE_APP_MODEL_DIRECTORY_H
#define ORVANE_APP_MODEL_DIRECTORY_H

#include <QString>
#include <QStringList>

// The files of a complete model directory, in the order they are checked and downloaded.
const QStringList& requiredModelFiles();

// $XDG_DATA_HOME/OrvaneApp/orvane-model (not created here).
QString defaultModelDirectory();

// The configured model directory (setting "modelDirectoryPath"), the default one when unset.
QString configuredModelDirectory();

// Deletes the ".part" leftovers of interrupted downloads in DIR; failures are skipped.
void removePartialDownloads(const QString& dir);

// The first required file missing from DIR, or an empty string when all are there.
QString firstMissingModelFile(const QString& dir);

// The settings window's status line: "" for an empty path, "Found model files", or
// "Missing: " and the missing names among the weights and the vocabulary.
QString checkModelStatus(const QString& path);

// Base address of the model repository: the "modelBaseUrl" setting, else the environment's
// ORVANE_MODEL_URL, else the address built in; empty when none is set.
QString modelBaseUrl();
// The address used when the setting is empty: ORVANE_MODEL_URL, else the one built in.
QString defaultModelBaseUrl();

#endif
