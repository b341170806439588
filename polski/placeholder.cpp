// placeholder until the subsystem lands
namespace orlumo_polski_placeholder { int unused = 0; }
