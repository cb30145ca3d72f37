// typing-speed: how fast dictated words reach a text field.
//
//   typing-speed xtest   (on an X server): characters per second through XTest for a 100-word
//                        transcript, and the delay from a token's decoding to its appearance in
//                        a focused Qt field over a 60-second dictation
//   typing-speed ibus FIELDS_SCRIPT   (inside a private IBus daemon, tests/app/ibus/with_ibus.sh):
//                        the same delay through Orvane's IBus engine into an IBus client's field
//
// Tokens are decoded every 80 ms and handed over in batches every 100 ms, as the app polls the
// engine; a token's delay runs from its decoding to the moment the field shows it.
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "output/input_method_feed.h"
#include "output/xtest_typer.h"

namespace {

constexpr int kTokenMs = 80;
constexpr int kPollMs = 100;
constexpr int kDictationMs = 60000;

// Word pieces as the model gives them: most start a word, a few carry characters that a US
// keyboard lacks.
QStringList pieces(int count) {
  const QStringList words = {" the", " quick", " brown", " fox", " jumps", " over", " café",
                             " straße", "s", " 日本", " and", " naïve", ",", " lazy", " dogs", "."};
  QStringList out;
  for (int i = 0; i < count; i++) out << words[(i * 7) % words.size()];
  return out;
}

// The i-th token's delay: from its decoding until SHOWN (characters the field shows) reaches
// the end of that token. SHOWN is read after each event loop turn.
template <typename Deliver, typename Shown>
std::vector<double> delays(Deliver deliver, Shown shown) {
  const QStringList tokens = pieces(kDictationMs / kTokenMs);
  std::vector<qsizetype> ends;
  qsizetype total = 0;
  for (const QString& t : tokens) ends.push_back(total += t.size());
  std::vector<double> out(ends.size(), -1);
  QElapsedTimer clock;
  clock.start();
  qsizetype handed = 0;
  size_t seen = 0;
  qint64 next_poll = kPollMs;
  while (seen < ends.size() && clock.elapsed() < kDictationMs + 10000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 now = clock.elapsed();
    if (now >= next_poll) {
      QString batch;
      for (; handed < tokens.size() && static_cast<qint64>(handed + 1) * kTokenMs <= now; handed++)
        batch += tokens[handed];
      if (!batch.isEmpty()) deliver(batch);
      next_poll += kPollMs;
    }
    const qsizetype chars = shown();
    for (; seen < ends.size() && ends[seen] <= chars; seen++)
      out[seen] = static_cast<double>(clock.nsecsElapsed()) / 1e6 - double((seen + 1) * kTokenMs);
  }
  return out;
}

void report(const char* way, std::vector<double> d) {
  if (std::ranges::any_of(d, [](double v) { return v < 0; })) {
    std::printf("%s: not every token reached the field\n", way);
    return;
  }
  std::ranges::sort(d);
  std::printf("%s: token to field, %zu tokens over %d s: median %.1f ms, worst %.1f ms\n", way,
              d.size(), kDictationMs / 1000, d[d.size() / 2], d.back());
}

int benchXtest() {
  QPlainTextEdit field;
  field.show();
  if (!QTest::qWaitForWindowExposed(&field)) return 1;
  QProcess::execute("xdotool", {"windowfocus", "--sync", QString::number(field.winId())});
  auto typer = XTestTyper::open();
  if (!typer) {
    std::fputs("typing-speed: no X server with XTest\n", stderr);
    return 1;
  }

  const QString text = pieces(100).join(QString());
  std::vector<double> rates;
  for (int round = 0; round < 5; round++) {
    field.clear();
    QElapsedTimer t;
    t.start();
    typer->type(text);
    if (!QTest::qWaitFor([&] { return field.toPlainText().size() >= text.size(); }, 30000)) return 1;
    rates.push_back(double(text.size()) / (double(t.nsecsElapsed()) / 1e9));
    typer->finish();
    QTest::qWait(300);
  }
  std::ranges::sort(rates);
  std::printf("xtest: 100 words (%lld characters): median %.0f characters/s (%.0f ms)\n",
              static_cast<long long>(text.size()), rates[2], 1000.0 * double(text.size()) / rates[2]);

  field.clear();
  report("xtest", delays([&](const QString& batch) { typer->type(batch); },
                         [&] { return field.toPlainText().size(); }));
  return 0;
}

int benchIbus(const QString& fields_script) {
  InputMethodFeed feed;
  if (!feed.listen()) return 1;
  QProcess fields;
  fields.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  fields.start("/usr/bin/python3", {fields_script});
  // The engine commits complete words, then shows the rest as preedit: the field's text is
  // whole again at each preedit update.
  qsizetype committed = 0, shown = 0;
  QObject::connect(&fields, &QProcess::readyReadStandardOutput, [&] {
    while (fields.canReadLine()) {
      const QJsonArray e = QJsonDocument::fromJson(fields.readLine()).array();
      if (e[0] == "commit") committed += e[2].toString().size();
      if (e[0] == "preedit") shown = committed + (e[3].toBool() ? e[2].toString().size() : 0);
    }
  });
  fields.write("focus a\nuse orvane\n");
  if (!QTest::qWaitFor([&] { return feed.ready(); }, 30000)) {
    std::fputs("typing-speed: the IBus engine did not connect\n", stderr);
    return 1;
  }
  feed.begin();
  report("ibus", delays([&](const QString& batch) { feed.text(batch); },
                        [&] { return shown; }));
  feed.end();
  fields.closeWriteChannel();
  fields.waitForFinished(5000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() == 2 && args[1] == "xtest") return benchXtest();
  if (args.size() == 3 && args[1] == "ibus") return benchIbus(args[2]);
  std::fputs("usage: typing-speed xtest | typing-speed ibus FIELDS_SCRIPT\n", stderr);
  return 2;
}
