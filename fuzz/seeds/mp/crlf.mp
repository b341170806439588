[IMG ID]
CodePage=1252
[END]
[POLYLINE]
Type=0x1
Data0=(0,0),(0,0)
RoadID=-1
[end]
[POI]
Data0=(1e308,-1e308)
CityIdx=0
[END]
