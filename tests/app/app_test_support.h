// Helpers shared by the app tests: generated models, spoken audio, a reference transcript
// straight from the engine, and a private settings and data area per test program.
#ifndef ORVANE_APP_TEST_SUPPORT_H
#define ORVANE_APP_TEST_SUPPORT_H

#include <QByteArray>
#include <QString>
#include <vector>

// Points the settings and the data directory at a fresh folder of the build tree (call before
// the first QSettings use).
void useFreshSettings(const char* testName);

// Writes the tests' small random model into DIR with orvane-mkmodel; false on failure.
bool makeTinyModel(const QString& dir);

// Writes TEXT spoken by espeak-ng to PATH (22050 Hz mono WAV); false on failure.
bool speak(const QString& text, const QString& path);

// PATH read through the engine as 16 kHz mono samples (empty on failure).
std::vector<float> loadWav(const QString& path);

// Token bytes the engine gives for SAMPLES fed in PIECE-sample pieces, then finished.
// TOKENS gets the number of token strings read.
QByteArray engineTranscript(const QString& modelDir, const std::vector<std::vector<float>>& pieces,
                            int* tokens = nullptr);

// SAMPLES cut into pieces of PIECE samples.
std::vector<std::vector<float>> cutInPieces(const std::vector<float>& samples, size_t piece);

#endif
