# Tests on the embedded server: input
