// The desktop tests run GoogleTest inside a QApplication on the offscreen platform.
#include <QApplication>

#include <gtest/gtest.h>

namespace {

// The offscreen platform says this of every message box; nothing depends on it.
QtMessageHandler standardHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    standardHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    standardHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
