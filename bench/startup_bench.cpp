// Start-up time and idle cost of markfit against the smallest Qt Widgets
// program that shows one empty window, measured in the same run.
//
//   startup_bench [--runs N] [--markfit PATH]
//
// Time: from starting the process to the moment it reports its first window
// on screen ("shown" on stdout, printed after the window's first exposure
// has been painted; markfit does this with --quit-when-shown). markfit is
// timed twice: started where its data files exist, and started in an empty
// folder, where it makes them and builds the standard table first. Idle: the
// resident memory and the CPU time used over three seconds of doing nothing,
// read from /proc. Both programs run on the platform of QT_QPA_PLATFORM
// (offscreen when unset), each in a scratch directory.
//
// With --baseline-window [--with-text] [--quit-when-shown] this program is
// itself the baseline. The second baseline shows one label as well: the
// first text a Qt program draws loads the font database, which costs more
// than everything else our toolbox does, so it is the fairer comparison.
#include <QApplication>
#include <QLabel>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

class FirstExposure final : public QObject {
 public:
  bool eventFilter(QObject* target, QEvent* e) override {
    if (!fired_ && e->type() == QEvent::Expose) {
      if (auto* w = qobject_cast<QWindow*>(target); w && w->isExposed()) {
        fired_ = true;
        QTimer::singleShot(0, [] {
          std::fputs("shown\n", stdout);
          std::fflush(stdout);
          QCoreApplication::quit();
        });
      }
    }
    return false;
  }

 private:
  bool fired_ = false;
};

int baseline(int argc, char** argv, bool quit_when_shown, bool with_text) {
  QApplication app(argc, argv);
  FirstExposure watcher;
  if (quit_when_shown) app.installEventFilter(&watcher);
  QWidget window;
  window.resize(35, 63);
  if (with_text) new QLabel(QStringLiteral("Markfit"), &window);
  window.show();
  return QApplication::exec();
}

struct Program {
  QString name;
  QString path;
  QStringList quit_args;
  QStringList idle_args;
  bool fresh_folder = false;  // each start in a new empty folder (markfit's first start)
};

// Milliseconds from start to "shown"; -1 on failure.
double time_to_shown(const Program& p, const QString& dir) {
  QProcess process;
  process.setWorkingDirectory(dir);
  process.setProcessChannelMode(QProcess::SeparateChannels);
  QElapsedTimer timer;
  timer.start();
  process.start(p.path, p.quit_args);
  if (!process.waitForStarted(10000)) return -1;
  QByteArray out;
  while (!out.contains("shown")) {
    if (!process.waitForReadyRead(10000)) return -1;
    out += process.readAllStandardOutput();
  }
  const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  process.waitForFinished(10000);
  return ms;
}

long long read_status_kb(qint64 pid, const char* key) {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n')) {
    if (line.startsWith(key)) return line.mid(static_cast<int>(std::strlen(key))).trimmed().split(' ').front().toLongLong();
  }
  return -1;
}

long long cpu_ticks(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray text = f.readAll();
  const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  if (fields.size() < 13) return -1;
  return fields[11].toLongLong() + fields[12].toLongLong();
}

struct Idle {
  long long rss_kb = -1;
  long long idle_ticks = -1;
};

Idle measure_idle(const Program& p, const QString& dir) {
  QProcess process;
  process.setWorkingDirectory(dir);
  process.start(p.path, p.idle_args);
  Idle idle;
  if (!process.waitForStarted(10000)) return idle;
  QThread::msleep(1500);  // well past start-up
  idle.rss_kb = read_status_kb(process.processId(), "VmRSS:");
  const long long before = cpu_ticks(process.processId());
  QThread::msleep(3000);
  const long long after = cpu_ticks(process.processId());
  if (before >= 0 && after >= 0) idle.idle_ticks = after - before;
  process.kill();
  process.waitForFinished(5000);
  return idle;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bool as_baseline = false;
  bool quit_when_shown = false;
  bool with_text = false;
  int runs = 15;
  QString markfit;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg == QLatin1String("--baseline-window")) as_baseline = true;
    else if (arg == QLatin1String("--quit-when-shown")) quit_when_shown = true;
    else if (arg == QLatin1String("--with-text")) with_text = true;
    else if (arg == QLatin1String("--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (arg == QLatin1String("--markfit") && i + 1 < argc) markfit = QString::fromLocal8Bit(argv[++i]);
  }
  if (as_baseline) return baseline(argc, argv, quit_when_shown, with_text);

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
  if (markfit.isEmpty()) markfit = QFileInfo(self).absolutePath() + QStringLiteral("/../cli/markfit");
  markfit = QFileInfo(markfit).absoluteFilePath();
  if (!QFile::exists(markfit)) {
    std::fprintf(stderr, "startup_bench: %s not found; pass --markfit PATH\n", markfit.toLocal8Bit().constData());
    return 1;
  }
  QTemporaryDir scratch;
  qputenv("MARKFIT_PROFILE", (scratch.path() + QStringLiteral("/profile.ini")).toLocal8Bit());
  const QString b = QStringLiteral("--baseline-window");
  const QString q = QStringLiteral("--quit-when-shown");
  const QString t = QStringLiteral("--with-text");
  const Program programs[] = {
      {QStringLiteral("baseline"), self, {b, q}, {b}},
      {QStringLiteral("baseline+text"), self, {b, t, q}, {b, t}},
      {QStringLiteral("markfit"), markfit, {q}, {}},
      {QStringLiteral("markfit first"), markfit, {q}, {}, true},
  };
  constexpr int kPrograms = 4;

  std::vector<double> times[kPrograms];
  for (int r = 0; r < runs + 1; ++r) {
    for (int k = 0; k < kPrograms; ++k) {
      QString dir = scratch.path();
      if (programs[k].fresh_folder) {
        dir = scratch.path() + QStringLiteral("/first-%1").arg(r);
        QDir().mkpath(dir);
      }
      const double ms = time_to_shown(programs[k], dir);
      if (ms < 0) {
        std::fprintf(stderr, "startup_bench: %s did not report its window\n", qPrintable(programs[k].name));
        return 1;
      }
      if (r > 0) times[k].push_back(ms);  // the first round warms the caches
    }
  }
  std::printf("platform %s, %d runs each, median time to first window shown:\n",
              qgetenv("QT_QPA_PLATFORM").constData(), runs);
  const double empty = median(times[0]);
  const double text = median(times[1]);
  const double ours = median(times[2]);
  const double first = median(times[3]);
  std::printf("  baseline (one empty window)       %8.1f ms\n", empty);
  std::printf("  baseline+text (window, one label) %8.1f ms\n", text);
  std::printf("  markfit (toolbox)                 %8.1f ms   ratio %.2f to the empty window (goal <= 1.20), "
              "%.2f to the window with text\n",
              ours, ours / empty, ours / text);
  std::printf("  markfit first start (empty folder: makes the data files, builds the standard table)\n"
              "                                    %8.1f ms   ratio %.2f to a later start (goal <= 1.50)\n",
              first, first / ours);
  for (int k = 0; k < kPrograms - 1; ++k) {
    const Idle idle = measure_idle(programs[k], scratch.path());
    std::printf("  %-13s idle: resident %lld KiB, CPU ticks over 3 s idle: %lld\n", qPrintable(programs[k].name),
                idle.rss_kb, idle.idle_ticks);
  }
  return 0;
}
