// Helpers shared by the app tests: generated models, spoken audio, a reference transcript
// straight from the engine, and a private settings and data area per test program.
#ifndef ORVANE_APP_TEST_SUPPORT_H
#define ORVANE_APP_TEST_SUPPORT_H

#include <QByteArray>
#include <QString>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <vector>

// QTEST_MAIN for programs that capture audio. Qt Multimedia 6.4 closes its PulseAudio connection
// from a static destructor while libpulse's thread may still be dispatching, which aborts about
// one exit in seven ("Assertion 'pd' failed"). Once the test object and the application are gone,
// the program ends without running static destructors.
#define ORVANE_AUDIO_QTEST_MAIN(AppClass, TestClass) \
  int main(int argc, char** argv) {                  \
    int rc = 0;                                      \
    {                                                \
      AppClass app(argc, argv);                      \
      TestClass test;                                \
      QTEST_SET_MAIN_SOURCE_PATH                     \
      rc = QTest::qExec(&test, argc, argv);          \
    }                                                \
    std::fflush(nullptr);                            \
    std::_Exit(rc);                                  \
  }

// Points the settings and the data directory at a fresh folder of the build tree (call before
// the first QSettings use).
void useFreshSettings(const char* testName);

// Writes the tests' small random model into DIR with orvane-mkmodel; false on failure.
bool makeTinyModel(const QString& dir);

// Gives most word pieces of the model in DIR a character that US and German keyboards lack (or
// that only the German one has), so that any transcript is full of them; false on failure.
bool addNonAsciiPieces(const QString& dir);

// Writes TEXT spoken by espeak-ng to PATH (22050 Hz mono WAV); false on failure.
bool speak(const QString& text, const QString& path);

// PATH read through the engine as 16 kHz mono samples (empty on failure).
std::vector<float> loadWav(const QString& path);

// Token bytes the engine gives for PIECES fed in order, then finished, decoding with 8-bit
// weights when INT8 is set. TOKENS gets the number of token strings read.
QByteArray engineTranscript(const QString& modelDir, const std::vector<std::vector<float>>& pieces,
                            bool int8, int* tokens = nullptr);

// Runs a program to its end (a minute at most) while this process keeps answering X and socket
// requests; returns its standard output. EXIT_CODE gets its exit status (-1: it crashed).
QString run(const QString& program, const QStringList& args, int* exit_code = nullptr);

// SAMPLES cut into pieces of PIECE samples.
std::vector<std::vector<float>> cutInPieces(const std::vector<float>& samples, size_t piece);

#endif
