/* bare_click: the floor of click-to-byte. A bare Xlib window, 100 x 100 at the screen's top left corner, that
 * writes 'F' to DEVICE when a button is released over it, and nothing else: no toolkit, no thread, no paint.
 *
 * Usage: bare_click DEVICE
 * Prints the window's id in decimal on stdout once it is mapped; runs until killed or its display goes. */

#include <X11/Xlib.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: bare_click DEVICE\n");
        return 2;
    }
    const int device = open(argv[1], O_WRONLY | O_NOCTTY | O_NONBLOCK);
    Display* display = XOpenDisplay(NULL);
    if (device < 0 || display == NULL) {
        fprintf(stderr, "bare_click: cannot open %s or the display\n", argv[1]);
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 100, 100, 0,
                                              BlackPixel(display, screen), WhitePixel(display, screen));
    XSelectInput(display, window, ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    XMapWindow(display, window);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify) {
            printf("%lu\n", (unsigned long)window);
            fflush(stdout);
        } else if (event.type == ButtonRelease) {
            const char forward = 'F';
            if (write(device, &forward, 1) != 1)
                perror("bare_click: write");
        }
    }
}
