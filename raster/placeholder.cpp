// placeholder until the subsystem lands
namespace orlumo_raster_placeholder { int unused = 0; }
