// usbclaim: takes a USB interface away from its kernel driver through usbfs,
// as a program that drives the device itself does (libusb's detach and claim),
// and holds it until its standard input ends; then hands it back.
//
//   usbclaim /dev/bus/usb/BBB/DDD INTERFACE
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: usbclaim /dev/bus/usb/BBB/DDD INTERFACE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
    int interface = std::atoi(argv[2]);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    usbdevfs_ioctl detach = {interface, USBDEVFS_DISCONNECT, nullptr};
    if (::ioctl(fd, USBDEVFS_IOCTL, &detach) < 0 || ::ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) < 0) {
        std::perror("usbclaim");
        return 1;
    }
    std::printf("claimed\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
    ::ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
    usbdevfs_ioctl attach = {interface, USBDEVFS_CONNECT, nullptr};
    ::ioctl(fd, USBDEVFS_IOCTL, &attach);
    ::close(fd);
    return 0;
}
