# Tests on the embedded server: capture
