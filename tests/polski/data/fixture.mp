; Hand-written fixture map: every section, key and variant the loader accepts.
This line has no equals sign and is ignored
Orphan=a key outside any section is dropped

[IMG ID]
ID=1234
Name=Fixture Map
LblCoding=9
CodePage=1251
Datum=W84
Copyright=(c) Fixture makers
Revision=42
Country=Freedonia
Region=West
Elevation=F
LeftSideTraffic=Y
Levels=4
Level0=24
Level1=21
Level3=16
[END-IMG ID]

[Countries]
Country1=Freedonia
Country2=Sylvania~[0x1f]East
[END-Countries]

[Regions]
Region1=West
CountryIdx1=1
Region2=Coast
CountryIdx2=2
[END-Regions]

[Cities]
City1=Capital
RegionIdx1=1
City2=Port~[0x1e]Town
RegionIdx2=2
[END-Cities]

; A point with every key of points.
[POI]
Type=0x2F
SubType=0x06
Label=Main~[0x1d]Alt Station
EndLevel=2
CityIdx=2
StreetDesc=Harbour Road
Phone=+1 555
Fax=+1 556
Email=a@b.c
WebPage=http://x
Text=first
Text=second
DontFind=Y
HouseNumber=12a
Highway=A1
OvernightParking=Y
   Data0=(45.5,10.25)
Origin1=(45.75,10.5),(1,1)
EntryPoint=(45.51,10.26),gate
EntryPoint=bad
OpeningHours=Mo-Fr 08:00-18:00; Sa 09:00-13:00
Unknown=ignored
Type =0x99
[END]

[RGN10]
Type=0x6616
Label=~[0x1f]2641
Data0=(42.6425494,1.4956116)
[END]

[RGN20]
Type=0x0B00
CityName=Rotenboden
RegionName=West
CountryName=Freedonia
Data1=(47.1275781,9.5387175)
[END]

; An area with a hole given before its outer ring, and a ring on level 1.
[POLYGON]
Type=5
Marine=Y
Label=Lake
Background=Y
HouseNumber=7
EntryPoint=(1.5,1.5)
OpeningHours=24/7
Data0=(2,2),(2,4),(4,4),(4,2)
Data0=(0,0),(0,10),(10,10),(10,0)
Data1=(0,0),(0,10),(10,10)
[END]

[RGN80]
Type=0x13
Data0=(5,5),(5,6),(6,6)
[END]

[POLYLINE]
Type=0x06
Label=Harbour Road
CityIdx=1
EndLevel=1
Data0=(1,1),(1,2),(1,3)
Data1=(1,1),(1,3)
RoadID=7
RouteParams=3,2,1,0,0,0,1,0,0,0,0,1
RouteParamExt=1
TrafficLanes=3,0,0,2
TurnLanes=left|through;right
TurnLanesBackward=none
LegalSpeed=50
Speed=10,20|30,40
Nod0=0,1000,0
Nod1=2,3000000000,1
Numbers1=0,E,1,9,O,2,10,-1,-1,-1,-1,-1,-1
HLevel0=(1,1)
[END]

[RGN40]
Type=0x1d
Data2=(42.5,1.8),(42.6,1.9)
Data2=(42.7,1.8),(42.8,1.9)
[END]

[POLYLINE extended name]
Type=0x16
RoadId=3
Nodes1=(0,1000),(1,2000,1)
Data0=(3,3),(3,4)
[END]

[Restrict]
Nod=1000
TraffPoints=1000,3000000000,2000
TraffRoads=7,3
RestrParam=0,0,0,0,0,1,0,0
Time=ignored
[END-Restrict]

[Lane Connection]
LanePoints=1000,3000000000,2000
LaneRoads=7,3
LaneConnections=(1,2),(3,3)
[END]

; Dropped: one point only.
[Restrict]
TraffPoints=5
[END-Restrict]

; Dropped: an unknown section.
[Unknown Section]
Type=0x99
Data0=(1,1)
[END]

; Dropped: the next section start discards this open one.
[POI]
Type=0x01
Data0=(1,1)
[POI]
Type=0x02
Data0=(2,2)
[END]

; Dropped: a lower-case end opens an unknown section instead.
[POI]
Type=0x03
Data0=(3,3)
[end]
Label=not read
[END]

; Dropped: a line without geometry.
[POLYLINE]
Type=0x1
[END]

; Dropped: never closed.
[POI]
Type=0x04
Data0=(4,4)
