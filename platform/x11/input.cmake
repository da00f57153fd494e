# X11 pieces: input (sources added to tavelin_x11)
