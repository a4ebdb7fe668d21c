// Stands for another program on a serial port, until its standard input closes:
//   axr574-portholder DEVICE          holds it through QSerialPort (Qt's lock file, exclusive mode)
//   axr574-portholder --open DEVICE   holds it open, with no lock of any kind
//   axr574-portholder --flock DEVICE  holds it open with an advisory lock
//   axr574-portholder --wait          holds nothing, only lives (for a lock file to name)
// or asks once and exits:
//   axr574-portholder --try-flock FD  asks for the advisory lock on an inherited descriptor
#include <QCoreApplication>
#include <QSerialPort>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int holdUntilStdinCloses()
{
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) { }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "--wait")
        return holdUntilStdinCloses();
    if (argc != 3 && !(argc == 2 && !mode.startsWith("--")))
        return 2;

    if (mode == "--try-flock") {
        const int fd = std::atoi(argv[2]);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            std::printf("locked\n");
        else
            std::printf(errno == EWOULDBLOCK ? "refused\n" : "failed %s\n", std::strerror(errno));
        return 0;
    }
    if (mode == "--open" || mode == "--flock") {
        const int fd = ::open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || (mode == "--flock" && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
            std::printf("failed %s\n", std::strerror(errno));
            return 1;
        }
        return holdUntilStdinCloses();
    }

    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("failed %s\n", qPrintable(port.errorString()));
        return 1;
    }
    return holdUntilStdinCloses();
}
