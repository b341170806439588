; A small hand-written sample map: a harbour town with streets, shops,
; buildings, a park with a pond, and two cities of the address lists.
[IMG ID]
ID=10000001
Name=Harbour sample
Copyright=Sample data for the converter
Revision=3
CodePage=65001
Level0=24
Level1=22
Level2=20
Level3=18
[END-IMG ID]

[Countries]
Country1=Seaboard
[END-Countries]

[Regions]
Region1=Bay
CountryIdx1=1
Region2=Hills
CountryIdx2=1
[END-Regions]

[Cities]
City1=Portvale
RegionIdx1=1
City2=Portvale
RegionIdx2=2
[END-Cities]

[POI]
Type=0x0900
Label=Portvale
CityIdx=1
Data0=(45.1000,13.5000)
EndLevel=2
[END]

[POI]
Type=0x0d00
Label=Portvale
CityIdx=2
Data0=(45.2000,13.6000)
[END]

[POI]
Type=0x2a00
Label=Café Marina
CityIdx=1
StreetDesc=Quay Street
HouseNumber=10a
Phone=+1 555 0101
OpeningHours=Mo-Fr 08:00-18:00; Sa 09:00-13:00; Dec 24 off
Data0=(45.1012,13.5010)
EntryPoint=(45.1011,13.5011),Main door
[END]

[POI]
Type=0x2e00
Label=Ship-Chandler Ёлка
CityIdx=1
StreetDesc=Quay Street
HouseNumber=2
OpeningHours=24/7
Data0=(45.1015,13.5020)
[END]

[POI]
Type=0x6402
Label=Lighthouse
Data0=(45.0990,13.4950)
Data1=(45.0990,13.4950)
EndLevel=2
[END]

[POI]
Type=0x2f06
Label=Bank
CityIdx=1
StreetDesc=Quay Street
HouseNumber=10
OpeningHours=Mo-Th 09:00-16:00; Fr 09:00-14:00; Su[-1] 10:00-12:00
Data0=(45.1008,13.5030)
[END]

[POI]
Type=0x2a00
Label=Hidden Place
DontFind=Y
CityIdx=1
StreetDesc=Quay Street
HouseNumber=b
Data0=(45.1003,13.5002)
[END]

[POI]
Type=0x2f0b
Label=Harbour Garage
CityIdx=1
StreetDesc=Quay Street
HouseNumber=4
Data0=(45.1004,13.5004)
[END]

[POI]
Type=0x6100
Label=Net Loft
CityIdx=1
StreetDesc=Quay Street
HouseNumber=6
Data0=(45.1006,13.5008)
[END]

[POLYLINE]
Type=0x06
Label=Quay Street
CityIdx=1
StreetDesc=Quay Street
RoadID=1
RouteParam=3,2,0,0,0,0,0,0,0,0,0,0
Data0=(45.1000,13.4980),(45.1005,13.5000),(45.1010,13.5020),(45.1012,13.5040)
Nod1=0,100,0
Nod2=2,101,0
Nod3=3,102,0
Numbers1=0,E,2,10,O,1,9
[END]

[POLYLINE]
Type=0x05
Label=Hill Road
CityIdx=1
StreetDesc=Hill Road
RoadID=2
RouteParam=2,1,1,0,0,0,0,0,0,0,0,0
Data0=(45.1010,13.5020),(45.1030,13.5025),(45.1050,13.5035)
Data1=(45.1010,13.5020),(45.1050,13.5035)
Nod1=0,101,0
Nod2=2,103,1
[END]

[POLYLINE]
Type=0x16
Label=Cliff Path
Data0=(45.0990,13.4950),(45.0995,13.4965),(45.1000,13.4980)
EndLevel=1
[END]

[POLYLINE]
Type=0x1f
Label=Mill Brook
Data1=(45.1100,13.4900),(45.1060,13.4990),(45.1020,13.5060)
Data2=(45.1100,13.4900),(45.1020,13.5060)
EndLevel=3
[END]

[POLYGON]
Type=0x17
Label=Harbour Park
CityIdx=1
Data0=(45.1020,13.5000),(45.1020,13.5060),(45.1060,13.5060),(45.1060,13.5000)
Data0=(45.1030,13.5020),(45.1045,13.5020),(45.1045,13.5040),(45.1030,13.5040)
Data1=(45.1020,13.5000),(45.1020,13.5060),(45.1060,13.5060),(45.1060,13.5000)
EndLevel=2
OpeningHours=sunrise-sunset
[END]

[POLYGON]
Type=0x3c
Label=Pond
Data0=(45.1032,13.5022),(45.1043,13.5022),(45.1043,13.5038),(45.1032,13.5038)
[END]

[POLYGON]
Type=0x13
Label=Harbour Office
CityIdx=1
StreetDesc=Quay Street
HouseNumber=10
Data0=(45.1006,13.5028),(45.1006,13.5033),(45.1009,13.5033),(45.1009,13.5028)
EntryPoint=(45.1006,13.5030),Front
[END]

[POLYGON]
Type=0x4b
Label=Coverage
Background=Y
Data2=(45.0900,13.4800),(45.0900,13.5200),(45.1200,13.5200),(45.1200,13.4800)
EndLevel=3
[END]
