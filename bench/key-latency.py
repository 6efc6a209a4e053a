#!/usr/bin/env python3
"""Key to effect in the sivo window, as seen on the screen.

usage: key-latency.py SIVO CLIP [TRIALS]

Starts its own Xvfb (1280x720) and the window on CLIP, then for each trial
presses space and times until the picture stands still (the video pixels
unchanged for 500 ms, which a playing clip does not do even when a loaded
machine drops pictures), then
presses Right or Left and times until the progress slider has moved. The
screen is read with XGetImage on small regions (a millisecond each, where a
whole-screen dump costs hundreds under load). Times run from the moment
xdotool was started (its own start-up counts) to the first read that shows
the effect; for the pause, to the last change of the picture. Prints the median
and the worst of each.
"""
import ctypes, os, shutil, statistics, subprocess, sys, tempfile, time

W, H = 1280, 720
VIDEO = (0, 40, W, H - 90)              # x0, y0, x1, y1: the video area, all of the picture
PROGRESS = (1072, H - 20, 1272, H)      # the progress slider where the anchors put it
PAUSE_STILL_S = 0.5
LIMIT_S = 3.0


class Screen:
    """Reads screen regions of one X display through libX11."""

    def __init__(self, display):
        self.x = ctypes.cdll.LoadLibrary("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XGetImage.restype = ctypes.c_void_p
        self.x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                     ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x.XDestroyImage.argtypes = [ctypes.c_void_p]
        self.dpy = self.x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display " + display)
        self.root = self.x.XDefaultRootWindow(self.dpy)

    def region(self, box):
        x0, y0, x1, y1 = box
        image = self.x.XGetImage(self.dpy, self.root, x0, y0, x1 - x0, y1 - y0, 0xFFFFFFFF, 2)  # ZPixmap
        # XImage: width, height, xoffset, format (ints), data (pointer), ..., bytes_per_line at 44.
        data = ctypes.c_void_p.from_address(image + 16).value
        bpl = ctypes.c_int.from_address(image + 44).value
        pixels = ctypes.string_at(data, bpl * (y1 - y0))
        self.x.XDestroyImage(image)
        return pixels


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sivo, clip = sys.argv[1], sys.argv[2]
    trials = int(sys.argv[3]) if len(sys.argv) > 3 else 6
    work = tempfile.mkdtemp()
    n = 170
    while os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
        n += 1
    display = f":{n}"
    env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="dummy", XDG_RUNTIME_DIR=work,
               DBUS_SESSION_BUS_ADDRESS=f"unix:path={work}/no-bus")
    procs = [subprocess.Popen(["Xvfb", display, "-screen", "0", f"{W}x{H}x24", "-nolisten", "tcp", "-noreset"],
                              stderr=subprocess.DEVNULL)]

    def key(name):  # the time just before xdotool starts: its own cost counts
        start = time.monotonic()
        subprocess.run(["xdotool", "key", name], env=env, check=True)
        return start

    try:
        screen = None
        for _ in range(300):
            try:
                screen = Screen(display)
                break
            except RuntimeError:
                time.sleep(0.1)
        if screen is None:
            raise RuntimeError(f"Xvfb on {display} did not come up")
        procs.append(subprocess.Popen([sivo, clip], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(4)
        subprocess.run(["xdotool", "mousemove", str(W // 2), str(H // 2)], env=env, check=True)
        pauses, seeks = [], []
        for trial in range(trials):
            # Playing: the picture moves until the pause shows.
            t0 = key("space")
            last, since, seen = None, None, None
            while time.monotonic() - t0 < LIMIT_S:
                now, pixels = time.monotonic(), screen.region(VIDEO)
                if pixels != last:
                    last, since = pixels, now
                elif now - since >= PAUSE_STILL_S:
                    seen = max(0.0, since - t0)
                    break
                time.sleep(0.002)
            pauses.append(seen)
            time.sleep(0.3)
            # Paused: the slider stands until the seek moves it (and resumes playback).
            before = screen.region(PROGRESS)
            t0 = key("Right" if trial % 2 == 0 else "Left")
            seen = None
            while time.monotonic() - t0 < LIMIT_S:
                if screen.region(PROGRESS) != before:
                    seen = time.monotonic() - t0
                    break
                time.sleep(0.002)
            seeks.append(seen)
            time.sleep(1.0)
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()
        shutil.rmtree(work, ignore_errors=True)

    def report(name, values):
        got = [v * 1000 for v in values if v is not None]
        missed = len(values) - len(got)
        if not got:
            print(f"  {name:<18} n/a ({missed} of {len(values)} never showed)")
            return
        print(f"  {name:<18} median {statistics.median(got):.0f} ms, worst {max(got):.0f} ms"
              f"{f', {missed} never showed' if missed else ''} (target < 100)")

    print(f"key to effect: {trials} trials")
    report("pause_visible", pauses)
    report("seek_visible", seeks)


if __name__ == "__main__":
    main()
