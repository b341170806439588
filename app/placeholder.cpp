namespace orlumo_app_placeholder { int unused = 0; }
