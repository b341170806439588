#!/usr/bin/env python3
"""Writes small .mp maps whose road graphs are dense from the start, the worst
case of the contraction: stars (many roads at one junction) and cliques
(a road between every two of K junctions). See bench/README.md."""
import argparse
import math
import random

HEADER = ["[IMG ID]", "ID=10000010", "Name={name}", "CodePage=65001", "Levels=2", "Level0=23", "Level1=21",
          "[END-IMG ID]", ""]


def road(road_id, a, b, node_a, node_b):
    return ["[POLYLINE]", "Type=0x06", f"RoadID={road_id}", "RouteParam=3,1,0,0,0,0,0,0,0,0,0,0",
            f"Data0=({a[0]:.6f},{a[1]:.6f}),({b[0]:.6f},{b[1]:.6f})", f"Nod0=0,{node_a},0",
            f"Nod1=1,{node_b},0", "[END]", ""]


def stars(count, roads):
    """count junctions of roads two-way roads each, every road a dead end."""
    lines, road_id, node_id = [], 1, 1
    for c in range(count):
        centre = (47.0 + 0.05 * c, 8.0)
        centre_id = node_id
        node_id += 1
        for k in range(roads):
            angle = 2 * math.pi * k / roads
            end = (centre[0] + 0.01 * math.cos(angle), centre[1] + 0.01 * math.sin(angle))
            lines += road(road_id, centre, end, centre_id, node_id)
            road_id += 1
            node_id += 1
    return lines


def clique(junctions, seed):
    """A two-way road between every two of the junctions, at random places."""
    rng = random.Random(seed)
    points = [(47.0 + 0.02 * rng.random(), 8.0 + 0.02 * rng.random()) for _ in range(junctions)]
    lines, road_id = [], 1
    for a in range(junctions):
        for b in range(a + 1, junctions):
            lines += road(road_id, points[a], points[b], a + 1, b + 1)
            road_id += 1
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", help="the .mp file to write")
    shape = parser.add_mutually_exclusive_group(required=True)
    shape.add_argument("--stars", type=int, metavar="COUNT", help="COUNT junctions of --roads roads each")
    shape.add_argument("--clique", type=int, metavar="K", help="a road between every two of K junctions")
    parser.add_argument("--roads", type=int, default=255, help="roads per star (at most 255 are accepted)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.stars is not None:
        body, name = stars(args.stars, args.roads), f"{args.stars} stars of {args.roads} roads"
    else:
        body, name = clique(args.clique, args.seed), f"clique of {args.clique} junctions"
    with open(args.output, "w", encoding="utf-8") as f:
        f.write("\n".join([line.format(name=name) for line in HEADER] + body))


if __name__ == "__main__":
    main()
