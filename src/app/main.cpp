#include "app/command_line.h"
#include "app/form_midi.h"
#include "app/message_box.h"
#include "midi/rtmidi_backend.h"

#include <QApplication>

#include <cstdio>

using namespace velomire;

int main(int argc, char** argv) {
    QApplication app(argc, argv); // takes Qt's own options out of the arguments
    QApplication::setApplicationName(QStringLiteral("velomire"));
    QApplication::setApplicationVersion(QStringLiteral(VELOMIRE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velomire"));

    const CommandLine cl = ParseCommandLine(QApplication::arguments());
    if (!cl.error.isEmpty()) {
        std::fprintf(stderr, "velomire: %s\nTry 'velomire --help'.\n", qPrintable(cl.error));
        return 2;
    }
    if (cl.help) {
        std::fputs(qPrintable(UsageText()), stdout);
        return 0;
    }
    if (cl.version) {
        std::fputs(qPrintable(VersionText()), stdout);
        return 0;
    }

    MidiSystemChoice midi = ChooseMidiSystem(cl.midiApi);
    if (!midi.available)
        std::fprintf(stderr, "velomire: %s\n", midi.status.c_str());

    QtMessageBoxes boxes;
    Form_midi window(*midi.system, boxes);
    boxes.SetParent(&window);
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
