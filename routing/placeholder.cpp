// placeholder until the subsystem lands
namespace orlumo_routing_placeholder { int unused = 0; }
