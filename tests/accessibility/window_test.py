#!/usr/bin/python3
"""The window read and driven through AT-SPI as a screen reader or automation tool does:
a private session bus with the AT-SPI bus launcher, then the program (argv[1]) in folders
of its own on the X server of tavelin_with_x_server. Ends what it starts by its id."""
import os, re, signal, socket, subprocess, sys, tempfile, time


def until(what, read, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if value := read():
                return value
        except Exception:  # an object that left the tree between two calls
            pass
        time.sleep(0.05)
    raise AssertionError(f'waited {seconds} s for {what}')


def check(pyatspi, port, errors):
    app = until('the program on the bus', lambda: next(a for a in pyatspi.Registry.getDesktop(0) if a.name == 'Tavelin'))
    showing = lambda role, name: lambda n: (n.getRoleName() == role and re.fullmatch(name, n.name)
                                            and n.getState().contains(pyatspi.STATE_SHOWING))
    find = lambda role, name: until(f'{role} {name!r}', lambda: pyatspi.findDescendant(app, showing(role, name)))
    press = lambda node, action: node.queryAction().doAction(
        [node.queryAction().getName(i) for i in range(node.queryAction().nActions)].index(action))

    find('label', 'Ready to extend your desktop')
    press(find('check box', r'HiDPI \(2×\)'), 'Toggle')  # the model hears of it: see the desktop below
    bitrate = find('slider', 'Video bitrate').queryValue()
    assert (bitrate.minimumValue, bitrate.maximumValue) == (5, 150)
    bitrate.currentValue = 52  # lands on a step, and the label follows
    find('label', '50 Mbps')
    press(find('push button', 'Start sharing'), 'Press')
    find('push button', 'Stop sharing')
    until('a half-size desktop', lambda: '960 × 540 logical, 1920 × 1080 pixels' in open(errors).read())
    code = find('label', r'Pairing code \d{4}').name[-4:]
    link = find('label', rf'Receiver link http://[\d.]+:{port}/{code}').name
    find('alert', re.escape(f'Pairing code {code}, {link}'))  # what a screen reader announces
    press(find('push button', 'Quick controls'), 'Press')
    popover = find('dialog', 'Quick controls')
    until('focus in Quick controls', lambda: popover.getState().contains(pyatspi.STATE_FOCUSED))
    pyatspi.Registry.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)  # Escape
    until('Quick controls closed', lambda: not pyatspi.findDescendant(app, showing('dialog', '.*')))


with tempfile.TemporaryDirectory(prefix='tavelin-accessibility-') as root:
    env = {name: os.path.join(root, name) for name in ('HOME', 'XDG_CONFIG_HOME', 'XDG_DATA_HOME', 'XDG_RUNTIME_DIR')}
    for folder in env.values():
        os.mkdir(folder, 0o700)
    env.update(PATH='/usr/bin:/bin', DISPLAY=os.environ['DISPLAY'], XAUTHORITY=os.environ['XAUTHORITY'])
    # A sanitizer build's options and suppressions reach the program.
    env.update({name: value for name, value in os.environ.items() if name.endswith('SAN_OPTIONS')})
    started, errors = [], os.path.join(root, 'stderr')
    try:
        started.append(subprocess.Popen(['dbus-daemon', '--session', '--nofork', '--print-address=1',
                                         f'--address=unix:path={root}/bus'], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True))
        env['DBUS_SESSION_BUS_ADDRESS'] = started[0].stdout.readline().strip()
        started.append(subprocess.Popen(['/usr/libexec/at-spi-bus-launcher', '--launch-immediately'], env=env,
                                        stderr=subprocess.DEVNULL))
        with socket.socket() as free:
            free.bind(('127.0.0.1', 0))
            port = free.getsockname()[1]
        with open(errors, 'w') as output:
            started.append(subprocess.Popen([sys.argv[1], '--port', str(port)], stderr=output,
                                            env=dict(env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')))
        os.environ.update(env)  # pyatspi finds the accessibility bus through the session bus
        import pyatspi
        check(pyatspi, port, errors)
        started[-1].send_signal(signal.SIGTERM)
        assert started[-1].wait(20) == 0, 'no clean end on SIGTERM'
    except BaseException:
        print(open(errors).read() if os.path.exists(errors) else '', file=sys.stderr)
        raise
    finally:
        for process in reversed(started):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
