# Tests on the embedded server: displays
