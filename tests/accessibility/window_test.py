#!/usr/bin/python3
"""The program's window read and driven through AT-SPI, as a screen reader or a UI
automation tool does. Run by tavelin_with_x_server (DISPLAY is its X server); starts a
private session bus, the AT-SPI bus launcher and the program in folders of its own, and
ends each of them by its id.   usage: window_test.py PROGRAM"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def until(what, read, seconds=20):
    """read()'s first true value; the tree changes under a reader, so a failed read is a miss."""
    end = time.monotonic() + seconds
    while True:
        try:
            value = read()
        except Exception:  # an object that went away between two calls
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f'waited {seconds} s for {what}')
        time.sleep(0.05)


def start(root, env, *command, **options):
    return subprocess.Popen(command, env=env, cwd=root, stdin=subprocess.DEVNULL, **options)


def run(program, root):
    folders = {variable: os.path.join(root, variable.lower())
               for variable in ('HOME', 'XDG_CONFIG_HOME', 'XDG_DATA_HOME', 'XDG_RUNTIME_DIR')}
    for folder in folders.values():
        os.mkdir(folder, 0o700)
    env = dict(folders, PATH='/usr/bin:/bin', DISPLAY=os.environ['DISPLAY'], XAUTHORITY=os.environ['XAUTHORITY'])
    started = []
    try:
        bus = start(root, env, 'dbus-daemon', '--session', '--nofork', '--print-address=1',
                    f'--address=unix:path={root}/bus', stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        started.append(bus)
        env['DBUS_SESSION_BUS_ADDRESS'] = bus.stdout.readline().strip()
        started.append(start(root, env, '/usr/libexec/at-spi-bus-launcher', '--launch-immediately',
                             stderr=subprocess.DEVNULL))
        with socket.socket() as free:
            free.bind(('127.0.0.1', 0))
            port = free.getsockname()[1]
        errors = os.path.join(root, 'stderr')
        with open(errors, 'w') as output:
            tavelin = start(root, dict(env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1'), program, '--port', str(port),
                            stderr=output)
        started.append(tavelin)
        os.environ.update(env)  # the reader finds the accessibility bus through the session bus
        try:
            check(port, lambda: open(errors).read())
        except BaseException:
            print(open(errors).read(), file=sys.stderr)
            raise
        tavelin.send_signal(signal.SIGTERM)
        assert tavelin.wait(20) == 0, 'the program did not end cleanly on SIGTERM'
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def check(port, programErrors):
    import pyatspi  # connects at import, so only once the bus is there

    desktop = pyatspi.Registry.getDesktop(0)
    app = until('the program on the accessibility bus', lambda: next(a for a in desktop if a and a.name == 'Tavelin'))
    window = until('the main window', lambda: pyatspi.findDescendant(app, lambda n: n.getRoleName() == 'frame'))

    def find(role, name, root=window):
        """The showing object of `role` whose whole name matches `name`."""
        return until(f'{role} {name!r}', lambda: pyatspi.findDescendant(
            root, lambda n: n.getRoleName() == role and re.fullmatch(name, n.name) and
            n.getState().contains(pyatspi.STATE_SHOWING)))

    def act(node, action):
        actions = node.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        assert action in names, f'{node.name!r} offers {names}'
        assert actions.doAction(names.index(action))

    find('label', 'Ready to extend your desktop')

    # A switch turned by Toggle reaches the model: the shared display is shown at half size.
    hiDPI = find('check box', r'HiDPI \(2×\)')
    assert not hiDPI.getState().contains(pyatspi.STATE_CHECKED)
    act(hiDPI, 'Toggle')

    # The value interface moves the slider by a step and the label follows.
    bitrate = find('slider', 'Video bitrate')
    value = bitrate.queryValue()
    assert (value.minimumValue, value.maximumValue, value.minimumIncrement, bitrate.description) == (5, 150, 5, '35 Mbps')
    value.currentValue = 52
    find('label', '50 Mbps')
    assert value.currentValue == 50 and bitrate.description == '50 Mbps'

    act(find('push button', 'Start sharing'), 'Press')
    find('push button', 'Stop sharing')
    find('label', 'Waiting for receiver')
    until('the half-size desktop', lambda: '960 × 540 logical, 1920 × 1080 pixels' in programErrors())

    # The code and link, read from the tree, and the alert that announces them.
    code = find('label', r'Pairing code \d{4}')
    digits = code.name[-4:]
    assert code.queryText().getText(0, -1) == digits
    find('label', rf'Receiver link http://[\d.]+:{port}/{digits}')
    find('alert', rf'Pairing code {digits}, Receiver link http://\S+/{digits}')

    # Quick controls open by Press and close with Escape.
    act(find('push button', 'Quick controls'), 'Press')
    popover = find('dialog', 'Quick controls', app)
    until('focus in the popover', lambda: popover.getState().contains(pyatspi.STATE_FOCUSED))
    pyatspi.Registry.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)  # Escape
    until('the popover closed', lambda: pyatspi.findDescendant(
        app, lambda n: n.getRoleName() == 'dialog' and n.getState().contains(pyatspi.STATE_SHOWING)) is None)


if __name__ == '__main__':
    began = time.monotonic()
    root = tempfile.mkdtemp(prefix='tavelin-accessibility-')
    try:
        run(sys.argv[1], root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f'window_test: passed in {time.monotonic() - began:.1f} s')
