; Hand-written map for the cleaning passes: a noisy ring, duplicated roads
; named by a restriction, a road shown up to level 2, and an empty first entry.
[IMG ID]
Name=Cleaning
CodePage=65001
Level0=24
Level1=22
Level2=20
Level3=18
[END-IMG ID]

[POLYGON]
Type=0x3
; doubled vertex and a spike
Data0=(45.0,10.0),(45.0,10.0),(45.0,10.01),(45.01,10.01),(45.02,10.01),(45.01,10.01),(45.01,10.0)
[END]

[POLYLINE]
Type=0x2
Label=Main Street
RoadId=1
RouteParam=3,2,0,0,0,0,0,0,0,0,0,0
Data0=(45.0,10.0),(45.001,10.001),(45.002,10.002)
Nod1=0,100,0
Nod2=2,200,0
[END]

[POLYLINE]
Type=0x2
RoadId=2
RouteParam=3,2,0,0,0,0,0,0,0,0,0,0
Data0=(45.0,10.0),(45.001,10.001),(45.002,10.002)
Nod1=0,100,0
Nod2=2,200,0
[END]

[POLYLINE]
Type=0x2
RoadId=3
RouteParam=3,2,0,0,0,0,0,0,0,0,0,0
Data0=(45.002,10.002),(45.003,10.003)
Nod1=0,200,0
Nod2=1,300,0
[END]

[Restrict]
TraffPoints=100,200,300
TraffRoads=2,3
[END]

[POLYLINE]
Type=0x6
EndLevel=2
Data0=(46.0,11.0),(46.0,11.00001),(46.0,11.00002),(46.0,11.001)
[END]

[POLYLINE]
Type=0x6
Data0=
Data0=(47.0,12.0),(47.0,12.001)
[END]

[POI]
Type=0x2f00
Data0=(45.5,10.5)
[END]

[POI]
Type=0x2f00
Phone=555
Data0=(45.5,10.5)
[END]
