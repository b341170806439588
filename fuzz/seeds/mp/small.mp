[IMG ID]
ID=1
Name=seed
CodePage=65001
Levels=3
Level0=24
Level1=22
Level2=20
Elevation=M
LeftSideTraffic=Y
[END-IMG ID]
[Countries]
Country1=Land
[END-Countries]
[Regions]
Region1=North
CountryIdx1=1
[END-Regions]
[Cities]
City1=Town~[0x1e]Upper
RegionIdx1=1
[END-Cities]
[POI]
Type=0x2A00
SubType=0x01
Label=Café~[0x1d]Alt Road
Data0=(47.1,8.1)
Data1=(47.1001,8.1001)
CityIdx=1
HouseNumber=5
OpeningHours=Mo-Fr 08:00-18:00; Sa 09:00-13:00; Su[-1] 10:00-12:00; Dec 24 off
EntryPoint=(47.1,8.1002),gate
Text=a
Text=b
[END]
[RGN20]
Type=0x6616
Marine=Y
Origin0=(47.2,8.2)
OpeningHours=sunset-(sunrise+01:00)
[END]
[POLYGON]
Type=0x3C
Data0=(47.0,8.0),(47.0,8.01),(47.01,8.01),(47.01,8.0)
Data0=(47.004,8.004),(47.004,8.006),(47.006,8.006),(47.006,8.004)
Data1=(47.0,8.0),(47.01,8.01),(47.0,8.01)
Data0=(47.0,8.0),(47.0,8.001),(47.0,8.001),(47.0,8.0),(47.001,8.0),(47.0,8.0)
EndLevel=2
Background=Y
CityName=Town
[END]
[POLYLINE]
Type=0x06
Label=Main
Data0=(47.0,8.0),(47.0,8.001),(47.0,8.002)
Data0=(47.0,8.002),(47.0,8.003)
Data1=(47.0,8.0),(47.0,8.003)
RoadID=7
RouteParam=3,2,1,0,0,0,1
RouteParamExt=1
TrafficLanes=2,0,0,1
TurnLanes=left|through;right|none
TurnLanesBackward=reverse|merge_to_left
LegalSpeed=50
Speed=30,50|40,60
Nodes0=(0,100),(2,101,1)
Nodes1=(0,101),(1,102)
Numbers1=0,O,1,9,E,2,10
HLevel0=(1,1)
HLevel1=(0,-1)
CityIdx=1
[END]
[RGN40]
Type=0x06
Data0=(47.0,8.003),(47.001,8.003)
RoadID=8
RouteParams=1,0,0,0
Nod1=0,102,0
Nod2=1,103
[END]
[Restrict]
Nod=101
TraffPoints=100,101,102
TraffRoads=7,7
[END-Restrict]
[Restrict]
TraffPoints=101, 102 103
TraffRoads=7,8
[END]
[Lane Connection]
LanePoints=101,102,103
LaneRoads=7,8
LaneConnections=(1,2),(3,3),(17,1)
[END-Lane Connection]
[IMG ID]
Name=second header
[END]
