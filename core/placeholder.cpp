namespace orlumo_core_placeholder { int unused = 0; }
