// Helpers shared by the road graph's source files.
#pragma once

#include "routing/roadgraph.h"

namespace RoadGraphDetail {

// The road's point at a point index; an index beyond the points (the
// loader keeps them as read) takes the last point.
TPointD RoadPoint(const PolskiFormat::TRoadAttributes& road, uint32_t index);
// The road's point at a point index in map units (clamped as RoadPoint).
TGeoPoint GeoPointAt(const PolskiFormat::TRoadAttributes& road, uint32_t index);
// Bearing of the way from a to b, degrees clockwise from north, 0..359.
int Bearing(TGeoPoint a, TGeoPoint b);
// The point index of the route node at `position`, clamped to the points.
uint32_t NodePointIndex(const PolskiFormat::TRoadAttributes& road, size_t position);
// A routable polyline open to cars: a road of the graph.
bool IsGraphRoad(const PolskiFormat::CPolyline& line);
// Latitude and longitude of a graph node in degrees, 0 for an unknown node.
void NodeDegrees(const TRoadGraph& graph, uint32_t node, double* lat, double* lon);

}  // namespace RoadGraphDetail
