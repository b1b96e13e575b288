// sorbel-gui-gate-bench: what one progress update costs the download worker of the desktop
// program, whose window carries every worker call over to the GUI thread and waits for it.
//
// A QApplication (any platform; offscreen serves) runs its event loop with one progress bar;
// a worker thread makes N calls through GuiCallGate, each setting the bar as the window's
// setProgressPos does, and times each call. Prints the median and 99th percentile on standard
// output: the time the worker spends per command on the window before it can send the next
// packet. Usage: sorbel-gui-gate-bench [CALLS] (default 20000).
#include "BenchSupport.h"

#include "ui/GuiCallGate.h"

#include <QApplication>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    using sorbel::bench::Clock;
    QApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    QProgressBar bar;
    bar.setRange(0, 0xFFFF);
    bar.show();
    sorbel::ui::GuiCallGate gate(&bar);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(calls));
    std::thread worker;
    QTimer::singleShot(0, [&] {
        worker = std::thread([&] {
            for (int i = 0; i < calls; ++i) {
                const int position = (i * 16) & 0xFFFF;
                const auto started = Clock::now();
                gate.call([&bar, position] { bar.setValue(position); });
                times.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - started).count());
            }
            QMetaObject::invokeMethod(
                &app, [] { QApplication::quit(); }, Qt::QueuedConnection);
        });
    });
    app.exec();
    worker.join();
    gate.close();
    const double median = sorbel::bench::percentile(times, 50);
    const double p99 = sorbel::bench::percentile(times, 99);
    std::printf("GUI progress update per command: median %.1f us, p99 %.1f us (%d calls of "
                "GuiCallGate::call setting a progress bar, platform %s)\n",
                median, p99, calls, qPrintable(QApplication::platformName()));
    return 0;
}
