# X11 pieces: displays (sources added to tavelin_x11)
