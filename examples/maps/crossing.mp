; A second sample map on the 180th meridian, with addresses given as names
; instead of list indexes, and a layer of islands.
[IMG ID]
ID=10000002
Name=Date line crossing
Copyright=Sample data for the converter
CodePage=65001
Level0=23
Level1=21
[END-IMG ID]

[POI]
Type=0x2c00
Label=Ferry Terminal
CountryName=Islands
RegionName=East
CityName=Nukua
StreetDesc=Pier Road
HouseNumber=1
Data0=(-16.5000,179.9990)
[END]

[POI]
Type=0x2c00
Label=Ferry Terminal West
CountryName=Islands
RegionName=East
CityName=Nukua
StreetDesc=Pier Road
HouseNumber=3
Data0=(-16.5002,-179.9990)
[END]

[POLYLINE]
Type=0x04
Label=Pier Road
CountryName=Islands
RegionName=East
CityName=Nukua
StreetDesc=Pier Road
RoadID=5
RouteParam=4,3,0,0,0,0,0,0,0,0,0,0
Data0=(-16.5001,179.9980),(-16.5001,179.9999),(-16.5001,-179.9995),(-16.5001,-179.9980)
Nod1=0,1,0
Nod2=3,2,0
[END]

[POLYGON]
Type=0x53
Label=Twin Isle
Data0=(-16.4900,179.9950),(-16.4900,-179.9950),(-16.4800,-179.9950),(-16.4800,179.9950)
[END]
