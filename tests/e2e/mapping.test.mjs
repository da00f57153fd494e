// The receiver page's pure helpers: where a pointer lands in the picture and what the
// page sends for it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import receiver from '../../resources/Web/receiver.js';

const { mapPointer, buttonChanges, mousePacket, sessionIdentifier, normalRotation } = receiver;

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

test('mouse packets carry exactly the fields the host decodes', () => {
  const at = { x: 0.25, y: 1 };
  const none = { shift: false, control: false, alt: false, meta: false };
  const keys = { shiftKey: true, ctrlKey: false, altKey: true, metaKey: false };
  const cases = [
    ['move', mousePacket('move', at, keys), { type: 'move', ...at, ...none, shift: true, alt: true }],
    ['down', mousePacket('down', at, {}, { button: 2 }), { type: 'down', ...at, button: 2, ...none }],
    ['up', mousePacket('up', at, {}, { button: 0 }), { type: 'up', ...at, button: 0, ...none }],
    ['scroll pixels', mousePacket('scroll', at, { deltaX: -3, deltaY: 120, deltaMode: 0 }),
      { type: 'scroll', ...at, dx: -3, dy: 120, ...none }],
    ['scroll lines', mousePacket('scroll', at, { deltaY: 3, deltaMode: 1 }).dy, 48],
    ['scroll clamped to the host limit', mousePacket('scroll', at, { deltaY: -1e6 }).dy, -2000],
    ['scroll not finite is none', mousePacket('scroll', at, { deltaY: Infinity }).dy, 0],
    // Scrolling down on a picture turned clockwise scrolls towards its right.
    ['scroll turned', mousePacket('scroll', at, { deltaY: 10 }, { rotation: 90 }).dx, 10],
    ['release has only its type', mousePacket('release', at, keys), { type: 'release' }],
    ['heartbeat has only its type', mousePacket('heartbeat'), { type: 'heartbeat' }],
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
