# X11 pieces: capture (sources added to tavelin_x11)
