// The receiver page's pure helpers: where a pointer lands in the picture and what the
// page sends for it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import receiver from '../../resources/Web/receiver.js';

const { mapPointer, buttonChanges, mousePacket, sessionIdentifier, normalRotation, touchGestures } = receiver;

const wide = { left: 0, top: 0, width: 200, height: 100 };
const upright = { rotation: 0, flip: false, fit: 'contain' };

test('pointer positions map into picture fractions through fit, rotation and flip', () => {
  const cases = [
    // name, stage, video size, settings, pointer, expected fractions
    ['contain inside', wide, [100, 100], upright, [75, 25], [0.25, 0.25]],
    ['contain bar clamps to the edge', wide, [100, 100], upright, [10, 50], [0, 0.5]],
    ['contain far bar clamps to the edge', wide, [100, 100], upright, [199, 99], [1, 0.99]],
    ['cover crops top and bottom', wide, [100, 100], { ...upright, fit: 'cover' }, [0, 0], [0, 0.25]],
    ['fill stretches', wide, [100, 100], { ...upright, fit: 'fill' }, [50, 25], [0.25, 0.25]],
    ['unknown fit is contain', wide, [100, 100], { ...upright, fit: 'zoom' }, [75, 25], [0.25, 0.25]],
    ['no frame yet: the stage is the picture', wide, [0, 0], upright, [50, 25], [0.25, 0.25]],
    ['stage offset in the window', { left: 10, top: 20, width: 200, height: 100 }, [200, 100], upright, [60, 45], [0.25, 0.25]],
    ['rotation 90', wide, [100, 200], { ...upright, rotation: 90 }, [150, 25], [0.25, 0.25]],
    ['rotation 180', wide, [200, 100], { ...upright, rotation: 180 }, [0, 0], [1, 1]],
    ['rotation 270', wide, [100, 200], { ...upright, rotation: 270 }, [0, 0], [1, 0]],
    // A clockwise quarter turn brings the picture's bottom-left corner to the top-left.
    ['rotation 450 is 90', wide, [100, 200], { ...upright, rotation: 450 }, [0, 0], [0, 1]],
    ['flip mirrors x only', wide, [200, 100], { ...upright, flip: true }, [50, 25], [0.75, 0.25]],
    // The picture is mirrored in its own frame, then turned.
    ['flip then rotation 90', wide, [100, 200], { ...upright, rotation: 90, flip: true }, [0, 0], [1, 1]],
  ];
  for (const [name, stage, [width, height], settings, [x, y], expected] of cases) {
    const mapped = mapPointer({ x, y }, stage, { width, height }, settings);
    assert.deepEqual([mapped.x, mapped.y], expected, name);
  }
  // Rotations other than quarter turns show upright.
  assert.deepEqual([0, 90, 180, 270, -90, 360, 30, 'x', null].map(normalRotation), [0, 90, 180, 270, 270, 0, 0, 0, 0]);
});

test('button masks become presses and releases in browser numbering', () => {
  // Releases come first so a chord change never holds more than the user does; back and
  // forward (8) are not sent.
  const cases = [[0, 1, [['down', 0]]], [1, 0, [['up', 0]]], [0, 4, [['down', 1]]], [1, 3, [['down', 2]]],
    [4, 2, [['up', 1], ['down', 2]]], [7, 7, []], [0, 8, []]];
  for (const [previous, current, expected] of cases) {
    assert.deepEqual(buttonChanges(previous, current).map((c) => [c.type, c.button]), expected, `${previous}→${current}`);
  }
});

// Presses, releases, heartbeats and release as the page sends them are page.test.mjs's.
test('mouse packets carry exactly the fields the host decodes', () => {
  const at = { x: 0.25, y: 1 };
  const none = { shift: false, control: false, alt: false, meta: false };
  const keys = { shiftKey: true, ctrlKey: false, altKey: true, metaKey: false };
  const cases = [
    ['move', mousePacket('move', at, keys), { type: 'move', ...at, ...none, shift: true, alt: true }],
    ['scroll pixels', mousePacket('scroll', at, { deltaX: -3, deltaY: 120, deltaMode: 0 }),
      { type: 'scroll', ...at, dx: -3, dy: 120, ...none }],
    ['scroll lines', mousePacket('scroll', at, { deltaY: 3, deltaMode: 1 }).dy, 48],
    ['scroll clamped to the host limit', mousePacket('scroll', at, { deltaY: -1e6 }).dy, -2000],
    ['scroll not finite is none', mousePacket('scroll', at, { deltaY: Infinity }).dy, 0],
    // Scrolling down on a picture turned clockwise scrolls towards its right.
    ['scroll turned', mousePacket('scroll', at, { deltaY: 10 }, { rotation: 90 }).dx, 10],
  ];
  for (const [name, actual, expected] of cases) assert.deepEqual(actual, expected, name);
});

test('session identifiers are canonical UUIDs with or without randomUUID', () => {
  const uuid = /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/;
  const insecure = { getRandomValues: (bytes) => crypto.getRandomValues(bytes) };
  const [first, second] = [sessionIdentifier(insecure), sessionIdentifier(insecure)];
  assert.match(first, uuid);
  assert.notEqual(second, first);
  assert.equal(sessionIdentifier({ randomUUID: () => 'given' }), 'given');
});

test('fingers become clicks, drags, right clicks and scrolls', () => {
  // Steps: [finger, type, x, y, time], or ['tick', time]; what was sent, shortened.
  const down = (id, x, y, t = 0) => [id, 'pointerdown', x, y, t];
  const move = (id, x, y, t = 0) => [id, 'pointermove', x, y, t];
  const up = (id, x, y, t = 0) => [id, 'pointerup', x, y, t];
  const cases = [
    ['a tap clicks where it lands', [down(1, 50, 40), move(1, 55, 44), up(1, 55, 44, 200)],
      ['move 50,40', 'down0 50,40', 'up0 50,40']],
    ['press and move drags from where it began', [down(1, 50, 40), move(1, 70, 40), move(1, 90, 40), up(1, 90, 40)],
      ['move 50,40', 'down0 50,40', 'move 70,40', 'move 90,40', 'up0 90,40']],
    ['a long press clicks the right button once', [down(1, 50, 40), ['tick', 599], ['tick', 600], ['tick', 900], up(1, 50, 40, 950)],
      ['move 50,40', 'down2 50,40', 'up2 50,40']],
    ['a long press after a drag began is no right click', [down(1, 50, 40), move(1, 80, 40), ['tick', 700], up(1, 80, 40)],
      ['move 50,40', 'down0 50,40', 'move 80,40', 'up0 80,40']],
    // Fingers moving up scroll down, as a wheel turned towards the user does.
    ['two fingers scroll by the distance their middle moves', [down(1, 40, 40), down(2, 60, 40), move(1, 40, 30),
      move(2, 60, 30), up(1, 40, 30), move(2, 60, 20), up(2, 60, 20), ['tick', 700]],
    ['move 40,40', 'scroll 0,5', 'scroll 0,5', 'scroll 0,10']],
    ['a cancelled touch clicks nothing', [down(1, 50, 40), [1, 'pointercancel', 50, 40, 10]], ['move 50,40']],
    ['a second finger during a drag is left out', [down(1, 50, 40), move(1, 70, 40), down(2, 10, 10), move(2, 20, 10),
      up(2, 20, 10), up(1, 70, 40)], ['move 50,40', 'down0 50,40', 'move 70,40', 'up0 70,40']],
  ];
  for (const [name, steps, expected] of cases) {
    const gestures = touchGestures();
    const sent = steps.flatMap(([id, type, x, y, timeStamp]) => (id === 'tick' ? gestures.tick(type)
      : gestures.touch({ pointerId: id, type, clientX: x, clientY: y, timeStamp })));
    assert.deepEqual(sent.map((a) => (a.type === 'scroll' ? `scroll ${a.dx},${a.dy}`
      : `${a.type}${a.button ?? ''} ${a.x},${a.y}`)), expected, name);
  }
});
