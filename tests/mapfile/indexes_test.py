"""Address index and word index through the real program."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402
from qxmaps import harness, header, load, text_at, u16, u32  # noqa: E402

args, check, conv = qxmaps.start()


def converted(name, text, params=""):
    return conv.converted(check, name, text, params=params)


def address(mf):
    """{country: {"regions": [...], "cities": [(title, region, x, y, poi byte,
    {street: (reference count, first house number, house number count)})]}}."""
    d = mf.image.data
    start, _ = mf.sections[7]
    result = {}
    pos = start + 4
    for _ in range(u32(d, start)):
        first_city, ncity, first_region, nregion = struct.unpack_from("<IIII", d, pos)
        title, p = text_at(d, pos + 16)
        pos = (p + 3) // 4 * 4
        regions, p = [], first_region
        for _ in range(nregion):
            r, p = text_at(d, p)
            regions.append(r)
        cities, p = [], first_city
        for _ in range(ncity):
            first_street, word, region, x, y = struct.unpack_from("<IIIii", d, p)
            name, q = text_at(d, p + 20)
            streets = {}
            all_streets = sorted(mf.streets)
            if word & 0xFFFFFF:
                i = all_streets.index(first_street)
                for sp in all_streets[i:i + (word & 0xFFFFFF)]:
                    first_num, nnum = struct.unpack_from("<II", d, sp)
                    sname, q2 = text_at(d, sp + 8)
                    streets[sname] = (u16(d, q2), first_num, nnum)
            cities.append((name, text_at(d, region)[0], x, y, word >> 24, streets))
            p = (q + 3) // 4 * 4
        result[title] = {"regions": regions, "cities": cities}
    return result


def street_numbers(mf, first, count):
    """Titles and references of a street's house-number records."""
    d = mf.image.data
    numbers = sorted(mf.numbers)
    i = numbers.index(first)
    out = []
    for pos in numbers[i:i + count]:
        title, p = text_at(d, pos)
        n = u16(d, p)
        p = (p + 2 + 3) // 4 * 4
        out.append((title, [u32(d, p + 4 * k) for k in range(n)]))
    return out


def words(mf):
    d = mf.image.data
    start, size = mf.sections[9]
    table = u32(d, start)
    result = {}
    for i in range(u32(d, table)):
        p = u32(d, table + 4 + 4 * i)
        p += p % 2
        w, p = text_at(d, p)
        p = (p + 3) // 4 * 4
        result[w] = [u32(d, p + 4 + 4 * k) for k in range(u32(d, p))]
    return result


POI = "[POI]\nType=%s\nLabel=%s\n%sData0=(%s)\n[END]\n"


def poi(label, where="45.1,13.5", type_="0x2a00", keys=""):
    return POI % (type_, label, keys, where)


# No address at all: a 4-byte section 7; no indexed object: an 8-byte section 9.
mf, out = converted("no_address", header() + "[POLYLINE]\nType=1\nData0=(45,13),(45.1,13.1)\n[END]\n")
if mf:
    check.equal("empty address index", mf.sections[7][1], 4)
    check.equal("empty word index", mf.sections[9][1], 8)
    check.true("cities line", "Cities with address info: 0" in out, out)

# Cities of one name: two regions give two records, one region one.
lists = ("[Countries]\nCountry1=Land\n[END-Countries]\n"
         "[Regions]\nRegion1=North\nCountryIdx1=1\nRegion2=South\nCountryIdx2=1\n[END-Regions]\n"
         "[Cities]\nCity1=Twin\nRegionIdx1=1\nCity2=Twin\nRegionIdx2=2\nCity3=TWIN\nRegionIdx3=1\n[END-Cities]\n")
text = header() + lists
text += poi("a", keys="CityIdx=1\n") + poi("b", keys="CityIdx=2\n") + poi("c", keys="CityIdx=3\n")
text += poi("d", keys="CountryName=Land\nRegionName=north\nCityName=twin\n")  # same city by names
text += poi("e", keys="CountryName=Land\nRegionName=Far\n")                  # no city: country and region only
text += poi("hidden", keys="CityIdx=1\nDontFind=Y\nStreetDesc=Gone\nHouseNumber=1\n")
mf, _ = converted("twins", text)
if mf:
    a = address(mf)
    check.equal("one country", list(a), ["Land"])
    land = a.get("Land", {"regions": [], "cities": []})
    check.equal("regions sorted", land["regions"], ["Far", "North", "South"])
    check.equal("two Twin records", [(c[0], c[1]) for c in land["cities"]], [("Twin", "North"), ("Twin", "South")])
    d = mf.image.data
    for s in mf.pois.starts:
        label, _ = text_at(d, s + 24)
        refs = struct.unpack_from("<IIII", d, s + 8)
        if label == "hidden":
            check.equal("DontFind: no address", refs, (0, 0, 0, 0))
        if label == "e":
            check.true("country only", refs[0] != 0 and refs[1:] == (0, 0, 0), str(refs))
    check.true("DontFind: no word", "hidden" not in words(mf))

# House numbers: b (0), 2, 10, 10a; a POI and a polygon on one number: the polygon only.
lists = "[Countries]\nCountry1=L\n[END-Countries]\n[Regions]\nRegion1=R\nCountryIdx1=1\n[END-Regions]\n" \
        "[Cities]\nCity1=C\nRegionIdx1=1\n[END-Cities]\n"
keys = "CityIdx=1\nStreetDesc=Main\nHouseNumber=%s\n"
text = header() + lists
for n in ("10a", "2", "b", "10"):
    text += poi("n" + n, keys=keys % n)
text += poi("shop", keys=keys % "7")
text += poi("shop2", keys=keys % "7")
text += "[POLYGON]\nType=0x13\nLabel=house\n%sData0=(45,13),(45.001,13),(45.001,13.001)\n[END]\n" % (keys % "7")
text += "[POLYLINE]\nType=6\nLabel=Main\nCityIdx=1\nStreetDesc=Main\nData0=(45,13),(45.01,13.01)\n[END]\n"
mf, out = converted("numbers", text)
if mf:
    city = address(mf)["L"]["cities"][0]
    nrefs, first, count = city[5]["Main"]
    check.equal("street references", nrefs, 1)
    nums = street_numbers(mf, first, count)
    check.equal("house number order", [n for n, _ in nums], ["b", "2", "7", "10", "10a"])
    seven = dict(nums).get("7", [])
    check.true("shared number holds the polygon only", len(seven) == 1 and seven[0] & 1 and seven[0] - 1 in mf.polygons.starts,
               str(seven))
    check.true("one POI per other number", all(len(r) == 1 and r[0] in mf.pois.starts for n, r in nums if n != "7"))
    check.true("cities line counts a city with 5 numbers", "Cities with address info: 1" in out, out)

# Names of which nothing decodes (a cut UTF-8 sequence) count as no name:
# no untitled street or house-number record.
text = header() + lists
text += poi("cut street", keys="CityIdx=1\nStreetDesc=\xd0\nHouseNumber=5\n")
text += poi("cut number", "45.2,13.5", keys="CityIdx=1\nStreetDesc=Main\nHouseNumber=\xd0\n")
mf, _ = conv.converted(check, "cut_names", text, encoding="latin-1")
if mf:
    city = address(mf)["L"]["cities"][0]
    check.equal("only the decodable street", sorted(city[5]), ["Main"])
    check.equal("no house number", city[5]["Main"][2], 0)
    refs = sorted(struct.unpack_from("<IIII", mf.image.data, s + 8) for s in mf.pois.starts)
    check.equal("city only; street without number", [(r[2] != 0, r[3]) for r in refs], [(False, 0), (True, 0)])

# A city centre from objects on both sides of 180 degrees lies near 180.
with open(os.path.join(args.source, "examples", "maps", "crossing.mp"), encoding="utf-8") as f:
    mf, _ = converted("crossing", f.read())
if mf:
    city = address(mf)["Islands"]["cities"][0]
    x = city[2] / 2.0 ** 23
    check.true("centre across 180", abs(abs(x) - 180) < 0.01, str(x))

# Words: split at hyphens and separators, folded, U+0451 to U+0435; tag words of the type once.
tags = conv.params_file("tags.xml", '<tags version="1.00"><poi type="0x2a00"><tag>Cafe bar</tag></poi></tags>')
text = header() + poi("Caf\u00e9-Bar \u00abYes\u00bb \u0401\u043b\u043a\u0430 \u0451\u0436", "45.1,13.5")
text += poi("...", "45.2,13.5", type_="0x2b00")
text += "[POLYGON]\nType=0x13\nLabel=CAFE\nData0=(45,13),(45.001,13),(45.001,13.001)\n[END]\n"
mf, _ = converted("words", text, params="tags=%s\n" % tags)
if mf:
    w = words(mf)
    check.equal("words", sorted(w), sorted(["caf\u00e9", "bar", "yes", "\u0435\u043b\u043a\u0430", "\u0435\u0436", "cafe"]))
    poi_ref = mf.pois.starts[0]
    check.equal("bar once for label and tag", w.get("bar"), [poi_ref])
    check.equal("cafe: POI (tag) then polygon", w.get("cafe"), [poi_ref, mf.polygons.starts[0] | 0x80000000])

# Texts in the map's own code page: a 1250 map and its UTF-8 twin give one
# file; the words and titles of a 1252 map hold its letters, folded, so a
# search word with an accented capital finds them; an unknown code page
# warns once and reads as 1251.
central = header() + lists.replace("C\n", "\u0141\u00f3d\u017a\n") + poi(
    "\u017b\u00f3\u0142\u0107 Gda\u0144sk P\u0159\u00edbram Gy\u0151r", keys="CityIdx=1\nStreetDesc=\u015awi\u0119ta\n")
one, _ = converted("central_utf8", central)
two, _ = conv.converted(check, "central_1250", central.replace("CodePage=65001", "CodePage=1250"), encoding="cp1250")
if one and two:
    check.true("1250 and UTF-8 identical", one.file == two.file)
    check.equal("1250 city", [c[0] for c in address(two)["L"]["cities"]], ["\u0141\u00f3d\u017a"])
western = header().replace("CodePage=65001", "CodePage=1252") + lists.replace("C\n", "Z\u00fcrich\n")
western += poi("\u00c9COLE Stra\u00dfe", keys="CityIdx=1\nStreetDesc=Bahnhofstra\u00dfe\n")
mf, out = conv.converted(check, "western", western, encoding="cp1252")
if mf:
    w = words(mf)
    for query in ("\u00c9COLE", "STRA\u00dfE"):
        check.equal("search " + query, w.get(query.lower()), [mf.pois.starts[0]])
    city = address(mf)["L"]["cities"][0]
    check.equal("1252 titles", (city[0], sorted(city[5])), ("Z\u00fcrich", ["Bahnhofstra\u00dfe"]))
    check.true("no warning", "code page" not in out, out)
mf, out = conv.converted(check, "unknown_cp", header().replace("CodePage=65001", "CodePage=latin1") + poi("\u00c0"),
                         encoding="latin-1")
if mf:
    check.equal("one warning", out.count('Unknown code page "latin1": texts are read as Windows-1251'), 1)
    check.equal("read as 1251", text_at(mf.image.data, mf.pois.starts[0] + 24)[0], "\u0410")

# Addressed objects without records: the same file twice, unused room zero.
text = header() + lists
text += "[POLYLINE]\nType=6\nLabel=Main\nCityIdx=1\nStreetDesc=Main\nData2=(45,13),(45.01,13.01)\nEndLevel=1\n[END]\n"
text += "[POLYLINE]\nType=6\nLabel=Main\nCityIdx=1\nStreetDesc=Main\nData0=(45,13),(45.01,13.01)\n[END]\n"
text += poi("gone", keys=keys % "3" + "EndLevel=0\n").replace("Data0", "Data1")
first, _ = converted("unwritten", text)
again, _ = converted("unwritten_again", text)
if first and again:
    check.true("twice identical", first.file == again.file)
    city = address(first)["L"]["cities"][0]
    check.equal("street room of two, one reference", city[5]["Main"][0], 1)

# More references to one street than its u16 count holds: the first 65535
# are written, with one warning, and the file stays whole.
line = "[POLYLINE]\nType=6\nCityIdx=1\nStreetDesc=Main\nData0=(%.4f,%.4f),(%.4f,%.4f)\n[END]\n"
text = header() + lists + "".join(line % (45 + i // 256 * 1e-3, 13 + i % 256 * 1e-3, 45 + i // 256 * 1e-3,
                                          13.0005 + i % 256 * 1e-3) for i in range(65537))
mf, out = converted("street_refs", text)
if mf:
    nrefs = address(mf)["L"]["cities"][0][5]["Main"][0]
    check.equal("references capped", nrefs, 65535)
    check.equal("one warning", out.count('Too many references to address "Main": the first 65535 are written'), 1)

check.finish()
