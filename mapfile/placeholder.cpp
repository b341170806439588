// placeholder until the subsystem lands
namespace orlumo_mapfile_placeholder { int unused = 0; }
