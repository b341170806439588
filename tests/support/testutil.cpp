namespace orlumo_test_placeholder { int unused = 0; }
