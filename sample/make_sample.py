#!/usr/bin/python3
"""Writes the sample calendar: Donnees.ini, the scale file of the International
Chronostratigraphic Chart (read from the chart's own data, data/ics-chart-2024-12.ttl), two
event files, Images/ and Html/.

Run with the system interpreter, which has Pillow: /usr/bin/python3 sample/make_sample.py
The calendar files are written the way the calendar's Windows programs write them:
Windows-1252 text with CRLF line ends.
"""

import math
import os
import random
import re

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SIZE = (128, 96)

CHART = os.path.join(HERE, "data", "ics-chart-2024-12.ttl")

# Three French names of the chart's data that are misspelt there (its printed chart has them
# right): by the unit's name in the data.
FRENCH_FIXES = {
    "Proterozoic": "Protérozoïque",  # "Protéozoïque" in the data
    "Pennsylvanian": "Pennsylvanien",  # "Pennsylvanie"
    "Series2": "Série 2",  # "Séries 2"
}
# Epochs and ages named "Lower", "Middle" or "Upper" and their parent have no French name of
# their own in the data; the French chart writes them as the parent's name and this word.
PARTS = {"Lower": "inférieur", "Middle": "moyen", "Upper": "supérieur"}


def read_chart(path):
    """Every unit of the chart's Turtle file by its name: ranks, parent, French name, start in
    Ma (the text of the file) and colour (R, G, B). A plain text scan: each unit is a block
    from a line "ischart:Name" to a line "."."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    units = {}
    for m in re.finditer(r"^ischart:(\w+)\n(.*?)^\.$", text, re.S | re.M):
        name, body = m.group(1), m.group(2)
        labels = re.search(r"skos:prefLabel(.*?);\s*$", body, re.S | re.M)
        french = labels and re.search(r'"([^"]*)"@fr\s*[,;]', labels.group(1) + ";")
        broader = re.search(r"skos:broader ischart:(\w+)", body)
        begin = re.search(r"time:hasBeginning\s*\[\s*ischart:inMYA ([0-9.]+)", body)
        colour = re.search(r'schema:color "#([0-9A-Fa-f]{6})"', body)
        units[name] = {
            "ranks": set(re.findall(r"\brank:([A-Za-z-]+)", body)),
            "broader": broader and broader.group(1),
            "fr": french and french.group(1),
            "begin": begin and begin.group(1),
            "rgb": colour and tuple(int(colour.group(1)[i:i + 2], 16) for i in (0, 2, 4)),
        }
    return units


def french_name(units, name):
    if name in FRENCH_FIXES:
        return FRENCH_FIXES[name]
    if units[name]["fr"]:
        return units[name]["fr"]
    part = re.match(r"(Lower|Middle|Upper)(\w+)$", name)
    if part and part.group(2) == units[name]["broader"]:
        return french_name(units, part.group(2)) + " " + PARTS[part.group(1)]
    cambrian = re.match(r"Cambrian((?:Series|Stage)\d+)$", name)
    if cambrian and cambrian.group(1) in units:
        return french_name(units, cambrian.group(1))
    raise SystemExit(f"no French name for {name}")


def chart_rows(units):
    """The scale rows: every age of the Phanerozoic, every period of the Proterozoic, every era
    of the Archean and the Hadean, from the youngest. Each row: start (decimal comma), eon,
    era, period, epoch, age, colour (R, G, B)."""
    def ancestors(name):
        found = {}
        while name:
            for rank in units[name]["ranks"]:
                found.setdefault(rank, name)
            name = units[name]["broader"]
        return found

    def row(name, ranks):
        chain = ancestors(name)
        cells = [french_name(units, chain[rank]) if rank in chain and rank in ranks else ""
                 for rank in ("Eon", "Era", "Period", "Epoch", "Age")]
        unit = units[name]
        return (unit["begin"].replace(".", ","), *cells, unit["rgb"])

    def under(name, top):
        while name:
            if name == top:
                return True
            name = units[name]["broader"]
        return False

    everything = ("Eon", "Era", "Period", "Epoch", "Age")
    chosen = []
    for name, unit in units.items():
        if "Age" in unit["ranks"] and under(name, "Phanerozoic"):
            chosen.append(row(name, everything))
        elif "Period" in unit["ranks"] and under(name, "Proterozoic"):
            chosen.append(row(name, ("Eon", "Era", "Period")))
        elif "Era" in unit["ranks"] and under(name, "Archean"):
            chosen.append(row(name, ("Eon", "Era")))
        elif name == "Hadean":
            chosen.append(row(name, ("Eon",)))
    chosen.sort(key=lambda r: float(r[0].replace(",", ".")))
    return chosen


# Per period: file stem, chart colour, biosphere label and page text, palaeo label and page text.
PERIODS = {
    "Quaternaire": ("Quaternaire", (249, 249, 127),
                    "Mammouths et humains",
                    "Les grands mammifères des steppes glaciaires, mammouths et rhinocéros "
                    "laineux, côtoient le genre Homo, qui gagne tous les continents.",
                    "Glaciations alternées",
                    "Les calottes glaciaires avancent et reculent au rythme des cycles "
                    "orbitaux ; le niveau des mers varie de plus de cent mètres."),
    "Néogène": ("Neogene", (255, 230, 25),
                "Prairies et hominines",
                "Les graminées s'étendent, les herbivores brouteurs se diversifient et les "
                "premiers hominines apparaissent en Afrique.",
                "Fermeture de la Téthys",
                "L'Inde poursuit sa course contre l'Asie, l'isthme de Panama se ferme et la "
                "Méditerranée s'assèche au Messinien."),
    "Paléogène": ("Paleogene", (253, 154, 82),
                  "Essor des mammifères",
                  "Après la disparition des dinosaures non aviens, mammifères et oiseaux "
                  "occupent les niches laissées libres.",
                  "Serre puis glacière",
                  "Un optimum climatique à l'Éocène précède la formation de la calotte "
                  "antarctique vers 34 Ma."),
    "Crétacé": ("Cretace", (127, 198, 78),
                "Plantes à fleurs et dinosaures",
                "Les angiospermes apparaissent et se diversifient ; les dinosaures dominent "
                "les terres jusqu'à la crise de la fin du Crétacé.",
                "Mers épicontinentales",
                "L'Atlantique Sud s'ouvre et la mer, très haute, inonde les continents ; "
                "la craie se dépose."),
    "Jurassique": ("Jurassique", (52, 178, 201),
                   "Géants sauropodes",
                   "Sauropodes, théropodes et premiers oiseaux ; les ammonites abondent dans "
                   "les mers.",
                   "Dislocation de la Pangée",
                   "L'Atlantique central commence à s'ouvrir et la Pangée se sépare en "
                   "Laurasia et Gondwana."),
    "Trias": ("Trias", (129, 43, 146),
              "Premiers dinosaures",
              "La vie se reconstitue après la grande extinction ; apparaissent les "
              "dinosaures, les ptérosaures et les premiers mammaliformes.",
              "La Pangée",
              "Un supercontinent unique, la Pangée, bordé par l'océan Panthalassa ; climat "
              "chaud et aride."),
    "Permien": ("Permien", (240, 64, 40),
                "Règne des synapsides",
                "Les synapsides dominent les faunes terrestres ; la période s'achève par la "
                "plus grande extinction connue.",
                "Assemblage de la Pangée",
                "Les continents se soudent en Pangée ; de vastes déserts couvrent "
                "l'intérieur des terres."),
    "Carbonifère": ("Carbonifere", (103, 165, 153),
                    "Forêts houillères",
                    "De vastes forêts marécageuses de lycophytes et de fougères arborescentes ; "
                    "apparition des amniotes et d'insectes géants.",
                    "Glaciation du Gondwana",
                    "La collision de la Laurussia et du Gondwana élève la chaîne varisque ; "
                    "des glaciers couvrent le sud du Gondwana."),
    "Dévonien": ("Devonien", (203, 140, 55),
                 "L'âge des poissons",
                 "Les poissons se diversifient, les premières forêts apparaissent et les "
                 "tétrapodes sortent de l'eau.",
                 "Vieux Grès Rouges",
                 "La Laurussia, née de la collision calédonienne, se couvre des Vieux Grès "
                 "Rouges ; des récifs s'étendent dans les mers chaudes."),
    "Silurien": ("Silurien", (179, 225, 182),
                 "Plantes vasculaires",
                 "Les premières plantes vasculaires colonisent les terres ; les poissons à "
                 "mâchoires se développent.",
                 "Fermeture du Iapetus",
                 "L'océan Iapetus se referme entre Laurentia, Baltica et Avalonia ; la mer "
                 "remonte après la glaciation."),
    "Ordovicien": ("Ordovicien", (0, 146, 112),
                   "Grande biodiversification",
                   "La diversité marine explose : brachiopodes, graptolites, céphalopodes ; "
                   "premières plantes terrestres.",
                   "Le Gondwana au pôle Sud",
                   "Le Gondwana dérive vers le pôle Sud ; une glaciation en fin de période "
                   "provoque une extinction majeure."),
    "Cambrien": ("Cambrien", (127, 160, 86),
                 "Explosion cambrienne",
                 "Apparition rapide de la plupart des grands groupes d'animaux ; trilobites et "
                 "faune de Burgess.",
                 "Mers peu profondes",
                 "Les continents issus de Rodinia sont en grande partie couverts de mers peu "
                 "profondes."),
    "Édiacarien": ("Ediacarien", (254, 217, 106),
                   "Faune d'Ediacara",
                   "Premiers organismes pluricellulaires complexes, à corps mou.",
                   "Après la Terre boule de neige",
                   "La fin des glaciations globales précède la dislocation de Rodinia."),
    "Cryogénien": ("Cryogenien", (254, 204, 92),
                   "Vie microbienne",
                   "Les eucaryotes et les éponges primitives traversent les glaciations.",
                   "Terre boule de neige",
                   "Deux glaciations globales, sturtienne et marinoenne, couvrent la Terre de "
                   "glace jusqu'à l'équateur."),
    "Tonien": ("Tonien", (254, 191, 78),
               "Eucaryotes diversifiés",
               "Les algues et les autres eucaryotes unicellulaires se diversifient.",
               "Rodinia",
               "Le supercontinent Rodinia commence à se disloquer."),
    "Sténien": ("Stenien", (254, 217, 154),
                "Algues rouges",
                "Les premières algues rouges pluricellulaires sont connues vers 1 047 Ma.",
                "Assemblage de Rodinia",
                "L'orogenèse grenvillienne soude les continents en Rodinia."),
    "Ectasien": ("Ectasien", (253, 204, 138),
                 "Tapis microbiens",
                 "Tapis microbiens et stromatolithes couvrent les fonds marins.",
                 "Plates-formes étendues",
                 "De larges couvertures de plate-forme se déposent sur les cratons."),
    "Calymmien": ("Calymmien", (253, 192, 122),
                  "Eucaryotes primitifs",
                  "Les eucaryotes unicellulaires à paroi se diversifient lentement.",
                  "Columbia stable",
                  "Le supercontinent Columbia, ou Nuna, reste assemblé et croît par ses "
                  "marges."),
    "Stathérien": ("Statherien", (248, 117, 167),
                   "Acritarches",
                   "Les acritarches, microfossiles à paroi organique, se répandent.",
                   "Columbia (Nuna)",
                   "Le supercontinent Columbia, ou Nuna, achève de s'assembler."),
    "Orosirien": ("Orosirien", (247, 104, 152),
                  "Eucaryotes possibles",
                  "Des fossiles comme Grypania pourraient compter parmi les premiers "
                  "eucaryotes.",
                  "Orogenèses et impacts",
                  "Nombreuses orogenèses ; grands impacts de Vredefort et de Sudbury."),
    "Rhyacien": ("Rhyacien", (247, 91, 137),
                 "Biote de Franceville",
                 "Le biote de Franceville, au Gabon, témoignerait d'une vie macroscopique "
                 "précoce.",
                 "Complexe du Bushveld",
                 "Le complexe du Bushveld se met en place ; glaciation huronienne."),
    "Sidérien": ("Siderien", (247, 79, 124),
                 "Grande oxydation",
                 "Les cyanobactéries enrichissent l'atmosphère en oxygène.",
                 "Fer rubané",
                 "Les formations de fer rubané atteignent leur apogée."),
}

# Events: date in Ma (decimal comma), text.
EVENTS = [
    ("4567", "Formation du système solaire"),
    ("4510", "Impact géant et formation de la Lune"),
    ("4404", "Plus ancien minéral terrestre connu : zircon de Jack Hills (Australie)"),
    ("4031", "Plus anciennes roches connues : gneiss d'Acasta (Canada)"),
    ("3770", "Premières traces possibles de vie (Nuvvuagittuq, Québec)"),
    ("3480", "Plus anciens stromatolithes connus (Pilbara, Australie)"),
    ("2400", "Grande oxydation : l'oxygène s'accumule dans l'atmosphère"),
    ("2100", "Biote de Franceville (Gabon)"),
    ("1800", "Assemblage du supercontinent Columbia"),
    ("1047", "Bangiomorpha, plus ancienne algue rouge connue"),
    ("1100", "Assemblage du supercontinent Rodinia"),
    ("717", "Glaciation sturtienne : la Terre boule de neige"),
    ("650", "Glaciation marinoenne"),
    ("575", "Faune d'Ediacara"),
    ("538,8", "Début du Cambrien : apparition de Treptichnus pedum"),
    ("521", "Premiers trilobites"),
    ("508", "Faune des schistes de Burgess (Canada)"),
    ("470", "Premières plantes terrestres (spores)"),
    ("444", "Extinction de la fin de l'Ordovicien"),
    ("433", "Cooksonia, première plante vasculaire"),
    ("375", "Tiktaalik, poisson aux membres charnus"),
    ("372,2", "Extinction du Frasnien-Famennien"),
    ("365", "Acanthostega, l'un des premiers tétrapodes"),
    ("312", "Hylonomus, l'un des premiers amniotes"),
    ("300", "La Pangée est assemblée"),
    ("251,94", "Extinction du Permien-Trias, la plus grande de l'histoire"),
    ("231,4", "Eoraptor, l'un des premiers dinosaures"),
    ("201,6", "Extinction du Trias-Jurassique"),
    ("180", "Début de la dislocation de la Pangée"),
    ("150", "Archaeopteryx"),
    ("130", "Premières plantes à fleurs"),
    ("66,04", "Impact de Chicxulub : extinction de la fin du Crétacé"),
    ("55,9", "Maximum thermique du passage Paléocène-Éocène"),
    ("50", "Début de la collision entre l'Inde et l'Asie"),
    ("33,9", "Englacement de l'Antarctique"),
    ("7", "Sahelanthropus tchadensis (Toumaï)"),
    ("5,97", "Crise de salinité messinienne"),
    ("3,2", "Lucy (Australopithecus afarensis)"),
    ("2,8", "Premier représentant connu du genre Homo"),
    ("1,9", "Homo erectus"),
    ("0,3", "Homo sapiens au Djebel Irhoud (Maroc)"),
    ("0,0117", "Fin de la dernière glaciation"),
]

EXTINCTIONS = [
    ("444", "Fin de l'Ordovicien : 85 % des espèces marines disparaissent"),
    ("372,2", "Frasnien-Famennien : crise des récifs"),
    ("359,3", "Événement de Hangenberg, à la limite Dévonien-Carbonifère"),
    ("259,5", "Crise de la fin du Guadalupien"),
    ("251,94", "Permien-Trias : la plus grande extinction connue"),
    ("201,6", "Trias-Jurassique"),
    ("183", "Événement anoxique du Toarcien"),
    ("66,04", "Crétacé-Paléogène : fin des dinosaures non aviens"),
    ("33,9", "Grande Coupure de l'Éocène-Oligocène"),
    ("0,05", "Extinction de la mégafaune du Pléistocène"),
]

MENU = [
    ("Temps géologiques", "Echelle.ini", "Evenements.ini"),
    ("Grandes extinctions", "Echelle.ini", "Extinctions.ini"),
]

FORMATS = ["png", "gif", "tga", "jpg", "bmp", "tif", "pcx"]


def write_ini(name, sections):
    lines = []
    for section, keys in sections:
        if lines:
            lines.append("")
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp1252"))


def platform_color(rgb):
    r, g, b = rgb
    return r | (g << 8) | (b << 16)


def darker(rgb, factor=0.6):
    return tuple(int(c * factor) for c in rgb)


def draw_biosphere(rgb, label, seed):
    rnd = random.Random(seed)
    img = Image.new("RGB", SIZE, rgb)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 64, SIZE[0], SIZE[1]], fill=darker(rgb, 0.75))
    for _ in range(6):
        x = rnd.randrange(8, SIZE[0] - 8)
        h = rnd.randrange(14, 40)
        d.line([x, 64, x + rnd.randrange(-6, 7), 64 - h], fill=darker(rgb, 0.45), width=3)
        d.ellipse([x - 5, 60 - h, x + 5, 70 - h], fill=darker(rgb, 0.55))
    for _ in range(3):
        x, y = rnd.randrange(10, SIZE[0] - 30), rnd.randrange(70, SIZE[1] - 12)
        d.ellipse([x, y, x + 18, y + 8], fill=darker(rgb, 0.35))
    font = ImageFont.truetype(FONT, 10)
    d.rectangle([0, 0, SIZE[0], 14], fill=(255, 255, 255))
    d.text((3, 1), label, fill=(0, 0, 0), font=font)
    return img


def draw_palaeo(rgb, label, seed):
    rnd = random.Random(seed)
    img = Image.new("RGB", SIZE, (70, 120, 180))
    d = ImageDraw.Draw(img)
    for _ in range(rnd.randrange(1, 4)):
        cx, cy = rnd.randrange(20, SIZE[0] - 20), rnd.randrange(30, SIZE[1] - 15)
        points = []
        for k in range(9):
            angle = 2 * math.pi * k / 9
            radius = rnd.randrange(12, 30)
            points.append((cx + radius * math.cos(angle), cy + 0.7 * radius * math.sin(angle)))
        d.polygon(points, fill=rgb, outline=darker(rgb, 0.5))
    font = ImageFont.truetype(FONT, 10)
    d.rectangle([0, 0, SIZE[0], 14], fill=(255, 255, 255))
    d.text((3, 1), label, fill=(0, 0, 0), font=font)
    return img


def save_picture(img, path, fmt):
    if fmt == "png":
        img.save(path, optimize=True)
    elif fmt == "gif":
        img.convert("P", palette=Image.ADAPTIVE, colors=64).save(path)
    elif fmt == "tga":
        img.save(path, compression="tga_rle")
    elif fmt == "jpg":
        img.save(path, quality=80)
    elif fmt == "bmp":
        img.convert("P", palette=Image.ADAPTIVE, colors=256).save(path)
    elif fmt == "tif":
        img.save(path, compression="tiff_lzw")
    elif fmt == "pcx":
        img.convert("P", palette=Image.ADAPTIVE, colors=256).save(path)


def write_page(path, title, text, other_link, other_title):
    page = f"""<!DOCTYPE html>
<html lang="fr">
<head>
<meta charset="windows-1252">
<title>{title}</title>
</head>
<body>
<h1>{title}</h1>
<p>{text}</p>
<p><a href="{other_link}">{other_title}</a></p>
</body>
</html>
"""
    with open(path, "wb") as f:
        f.write(page.replace("\n", "\r\n").encode("cp1252"))


def main():
    os.makedirs(os.path.join(HERE, "Images"), exist_ok=True)
    os.makedirs(os.path.join(HERE, "Html"), exist_ok=True)

    stored = {}
    for index, (period, info) in enumerate(PERIODS.items()):
        stem, rgb, bio_label, bio_text, paleo_label, paleo_text = info
        bio_fmt = FORMATS[(2 * index) % len(FORMATS)]
        paleo_fmt = FORMATS[(2 * index + 1) % len(FORMATS)]
        bio_image = f"{stem}_bio.{bio_fmt}"
        paleo_image = f"{stem}_paleo.{paleo_fmt}"
        save_picture(draw_biosphere(rgb, period, index),
                     os.path.join(HERE, "Images", bio_image), bio_fmt)
        save_picture(draw_palaeo(rgb, period, 100 + index),
                     os.path.join(HERE, "Images", paleo_image), paleo_fmt)
        bio_page, paleo_page = f"{stem}_bio.htm", f"{stem}_paleo.htm"
        write_page(os.path.join(HERE, "Html", bio_page), f"{period} : {bio_label}",
                   bio_text, paleo_page, "Paléogéographie")
        write_page(os.path.join(HERE, "Html", paleo_page), f"{period} : {paleo_label}",
                   paleo_text, bio_page, "Biosphère")
        stored[period] = (bio_label, "Images\\" + bio_image, "Html\\" + bio_page,
                          paleo_label, "Images\\" + paleo_image, "Html\\" + paleo_page)

    scale = []
    for start, eon, era, period, epoch, age, rgb in chart_rows(read_chart(CHART)):
        views = stored.get(period, ("",) * 6)
        keys = [("eon", eon), ("ere", era), ("systeme", period), ("serie", epoch),
                ("etage", age), ("couleur", str(platform_color(rgb)))]
        keys += list(zip(["labelbio", "imagebio", "lienbio", "labelpaleo", "imagepaleo",
                          "lienpaleo"], views))
        scale.append((start, keys))
    write_ini("Echelle.ini", scale)
    write_ini("Evenements.ini", [(date, [("evenement", text)]) for date, text in EVENTS])
    write_ini("Extinctions.ini", [(date, [("evenement", text)]) for date, text in EXTINCTIONS])
    write_ini("Donnees.ini", [(item, [("Echelle", scale_file), ("Evenement", event_file)])
                              for item, scale_file, event_file in MENU])


if __name__ == "__main__":
    main()
