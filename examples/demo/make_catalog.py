#!/usr/bin/env python3
"""Writes catalog.json, the storefront catalog of the demo: champions, their skins, wards and
bundles, with prices, sales and names in four languages.

The output depends on nothing but this file (fixed seed, fixed dates), so running it again
gives the same bytes. `--check` compares instead of writing and exits with status 1 when the
committed catalog.json differs from what this script makes.

    python3 examples/demo/make_catalog.py           # rewrite catalog.json beside this file
    python3 examples/demo/make_catalog.py --check   # is catalog.json up to date?
"""
import json
import os
import random
import sys

LANGUAGES = ["en_US", "de_DE", "fr_FR", "es_ES"]
ICON_ROOT = "/storefront/assets/icons"
# Sales that run while the demo is used, and sales that are over.
CURRENT_SALE = ("2024-01-01T00:00:00.000Z", "2099-12-31T23:59:59.000Z")
PAST_SALE = ("2023-06-01T00:00:00.000Z", "2023-06-15T00:00:00.000Z")

# Champions of the demo: names that read well in every language.
CHAMPIONS = [
    "Aurel", "Brisa", "Caldor", "Dweyn", "Eskra", "Fenra", "Gorran", "Halvi", "Ilsa",
    "Jorvik", "Kestra", "Lumen", "Maro", "Nyxa", "Orrin", "Pellam", "Quill", "Rhoswen",
    "Sarn", "Talia", "Ulmar", "Veyra", "Wendel", "Xiomar", "Yrsa", "Zeph", "Amadis",
    "Borin", "Cyra", "Dagny", "Elric", "Faye", "Garrick", "Hesper", "Isolde", "Jarek",
    "Kaelin", "Liora", "Mordan", "Neris", "Oska", "Perrin", "Runa", "Sable", "Thorne",
    "Ulla", "Varek", "Wren", "Yannick", "Zora", "Aldous", "Brannoc", "Celes", "Desmond",
    "Elowen", "Fiske", "Gwyn", "Hollis", "Ivo", "Juniper",
]

TITLES = {
    "en_US": "the {}",
    "de_DE": "der {}",
    "fr_FR": "le {}",
    "es_ES": "el {}",
}
ROLES = [
    {"en_US": "Wanderer", "de_DE": "Wanderer", "fr_FR": "Vagabond", "es_ES": "Errante"},
    {"en_US": "Warden", "de_DE": "Wächter", "fr_FR": "Gardien", "es_ES": "Guardián"},
    {"en_US": "Stormcaller", "de_DE": "Sturmrufer", "fr_FR": "Invocateur d'orages",
     "es_ES": "Invocador de tormentas"},
    {"en_US": "Blade Dancer", "de_DE": "Klingentänzer", "fr_FR": "Danseur de lames",
     "es_ES": "Danzante de espadas"},
    {"en_US": "Tinkerer", "de_DE": "Tüftler", "fr_FR": "Bricoleur", "es_ES": "Inventor"},
    {"en_US": "Tidecaller", "de_DE": "Gezeitenrufer", "fr_FR": "Maître des marées",
     "es_ES": "Señor de las mareas"},
]

THEMES = [
    {"en_US": "Frostfire", "de_DE": "Frostfeuer", "fr_FR": "Givreflamme", "es_ES": "Fuego helado"},
    {"en_US": "Starfall", "de_DE": "Sternenfall", "fr_FR": "Pluie d'étoiles",
     "es_ES": "Lluvia de estrellas"},
    {"en_US": "Iron Tide", "de_DE": "Eisenflut", "fr_FR": "Marée de fer", "es_ES": "Marea de hierro"},
    {"en_US": "Moonlit", "de_DE": "Mondschein", "fr_FR": "Clair de lune", "es_ES": "Luz de luna"},
    {"en_US": "Harvest", "de_DE": "Erntefest", "fr_FR": "Moisson", "es_ES": "Cosecha"},
    {"en_US": "Clockwork", "de_DE": "Uhrwerk", "fr_FR": "Mécanique", "es_ES": "Mecánico"},
    {"en_US": "Shadowglass", "de_DE": "Schattenglas", "fr_FR": "Verre d'ombre",
     "es_ES": "Cristal sombrío"},
    {"en_US": "Ember Knight", "de_DE": "Glutritter", "fr_FR": "Chevalier des braises",
     "es_ES": "Caballero de brasas"},
    {"en_US": "Coral Reef", "de_DE": "Korallenriff", "fr_FR": "Récif corallien",
     "es_ES": "Arrecife de coral"},
    {"en_US": "Thunderforge", "de_DE": "Donnerschmiede", "fr_FR": "Forge-tonnerre",
     "es_ES": "Forja del trueno"},
    {"en_US": "Spirit Lantern", "de_DE": "Geisterlaterne", "fr_FR": "Lanterne spectrale",
     "es_ES": "Farol espiritual"},
    {"en_US": "Crystal Rose", "de_DE": "Kristallrose", "fr_FR": "Rose de cristal",
     "es_ES": "Rosa de cristal"},
    {"en_US": "Sandstorm", "de_DE": "Sandsturm", "fr_FR": "Tempête de sable",
     "es_ES": "Tormenta de arena"},
    {"en_US": "Arcade", "de_DE": "Spielhalle", "fr_FR": "Arcade", "es_ES": "Arcade"},
    {"en_US": "Winter Festival", "de_DE": "Winterfest", "fr_FR": "Fête d'hiver",
     "es_ES": "Festival de invierno"},
    {"en_US": "Sky Pirate", "de_DE": "Himmelspirat", "fr_FR": "Pirate céleste",
     "es_ES": "Pirata celeste"},
]

WARD_THEMES = [
    {"en_US": "Lantern", "de_DE": "Laterne", "fr_FR": "Lanterne", "es_ES": "Farol"},
    {"en_US": "Totem", "de_DE": "Totem", "fr_FR": "Totem", "es_ES": "Tótem"},
    {"en_US": "Beacon", "de_DE": "Leuchtfeuer", "fr_FR": "Balise", "es_ES": "Baliza"},
]

SKIN_VP = [390, 520, 750, 975, 1350, 1820]
CHAMPION_PRICES = [(450, 260), (1350, 585), (3150, 790), (4800, 880), (6300, 975)]

DESCRIPTIONS = {
    "skin": {
        "en_US": "A new look for {champion}, with new effects and animations.",
        "de_DE": "Ein neues Aussehen für {champion}, mit neuen Effekten und Animationen.",
        "fr_FR": "Une nouvelle apparence pour {champion}, avec de nouveaux effets et animations.",
        "es_ES": "Un nuevo aspecto para {champion}, con nuevos efectos y animaciones.",
    },
    "champion": {
        "en_US": "Unlock {champion} for every game mode.",
        "de_DE": "Schalte {champion} für alle Spielmodi frei.",
        "fr_FR": "Débloquez {champion} pour tous les modes de jeu.",
        "es_ES": "Desbloquea a {champion} para todos los modos de juego.",
    },
    "ward": {
        "en_US": "A ward that lights up the map in style.",
        "de_DE": "Ein Wächterstein, der die Karte mit Stil erhellt.",
        "fr_FR": "Une balise qui éclaire la carte avec style.",
        "es_ES": "Un centinela que ilumina el mapa con estilo.",
    },
    "bundle": {
        "en_US": "{champion} with {count} skins, for less than their prices together.",
        "de_DE": "{champion} mit {count} Skins, günstiger als einzeln.",
        "fr_FR": "{champion} avec {count} apparences, moins cher qu'à l'unité.",
        "es_ES": "{champion} con {count} aspectos, más barato que por separado.",
    },
}
BUNDLE_NAMES = {
    "en_US": "{champion} Collection",
    "de_DE": "{champion}-Sammlung",
    "fr_FR": "Collection {champion}",
    "es_ES": "Colección de {champion}",
}


def date(rng, first_year, last_year):
    return "%04d-%02d-%02dT00:00:00.000Z" % (
        rng.randint(first_year, last_year), rng.randint(1, 12), rng.randint(1, 28))


def localizations(names, descriptions):
    return {lang: {"language": lang, "name": names[lang], "description": descriptions[lang]}
            for lang in LANGUAGES}


def price(currency, cost, discount=None):
    entry = {"currency": currency, "cost": cost}
    if discount is not None:
        entry["discount"] = discount
    return entry


def item(item_id, inventory_type, icon, names, descriptions, prices, release, tags,
         requirements=None, sale=None, bundled=None, active=True, sub_type=None):
    return {
        "itemId": item_id,
        "inventoryType": inventory_type,
        "iconUrl": "%s/%s" % (ICON_ROOT, icon),
        "localizations": localizations(names, descriptions),
        "active": active,
        "bundled": bundled,
        "inactiveDate": None if active else "2023-12-31T00:00:00.000Z",
        "maxQuantity": 1,
        "prices": prices,
        "releaseDate": release,
        "sale": sale,
        "subInventoryType": sub_type,
        "tags": tags,
        "itemRequirements": requirements,
        "itemInstanceId": None,
    }


def sale_of(rng, prices, current):
    """A sale on the VP price (40 or 50 percent off), or None."""
    vp = [p for p in prices if p["currency"] == "VP"]
    if not vp:
        return None
    discount = rng.choice([0.4, 0.5])
    start, end = CURRENT_SALE if current else PAST_SALE
    cost = int(round(vp[0]["cost"] * (1 - discount)))
    return {"startDate": start, "endDate": end, "prices": [price("VP", cost, discount)]}


def make_catalog():
    rng = random.Random(2417)
    champions, skins, wards, bundles = [], [], [], []

    for index, champion in enumerate(CHAMPIONS):
        champion_id = index + 1
        role = ROLES[index % len(ROLES)]
        names = {lang: "%s, %s" % (champion, TITLES[lang].format(role[lang])) for lang in LANGUAGES}
        ip, vp = CHAMPION_PRICES[rng.randrange(len(CHAMPION_PRICES))]
        prices = [price("IP", ip), price("VP", vp)]
        champions.append(item(
            champion_id, "CHAMPION", "champions/%d.png" % champion_id, names,
            {lang: DESCRIPTIONS["champion"][lang].format(champion=champion) for lang in LANGUAGES},
            prices, date(rng, 2018, 2023), ["champion", role["en_US"].lower().replace(" ", "-")],
            sale=sale_of(rng, prices, True) if rng.random() < 0.1 else None))

        themes = rng.sample(THEMES, rng.randint(3, 5))
        for number, theme in enumerate(themes, start=1):
            skin_id = champion_id * 1000 + number
            cost = rng.choice(SKIN_VP)
            prices = [price("VP", cost)]
            if cost <= 520 and rng.random() < 0.3:
                prices.append(price("IP", cost * 10))  # older skins can be bought with IP too
            roll = rng.random()
            sale = sale_of(rng, prices, roll < 0.12) if roll < 0.2 else None
            tags = ["skin", theme["en_US"].lower().replace(" ", "-")]
            if cost >= 1350:
                tags.append("epic")
            active = rng.random() > 0.03
            skins.append(item(
                skin_id, "CHAMPION_SKIN", "skins/%d.png" % skin_id,
                {lang: "%s %s" % (theme[lang], champion) for lang in LANGUAGES},
                {lang: DESCRIPTIONS["skin"][lang].format(champion=champion)
                 for lang in LANGUAGES},
                prices, date(rng, 2018, 2024), tags,
                requirements=[{"inventoryType": "CHAMPION", "itemId": champion_id}],
                sale=sale, active=active))

    for number in range(1, 31):
        theme = WARD_THEMES[number % len(WARD_THEMES)]
        skin_theme = THEMES[number % len(THEMES)]
        prices = [price("VP", rng.choice([640, 750]))]
        wards.append(item(
            number, "WARD_SKIN", "wards/%d.png" % number,
            {lang: "%s %s" % (skin_theme[lang], theme[lang]) for lang in LANGUAGES},
            DESCRIPTIONS["ward"], prices, date(rng, 2019, 2024), ["ward"],
            sale=sale_of(rng, prices, True) if rng.random() < 0.15 else None))

    for number in range(1, 21):
        champion_index = (number * 7) % len(CHAMPIONS)
        champion = CHAMPIONS[champion_index]
        champion_item = champions[champion_index]
        own_skins = [s for s in skins if s["itemId"] // 1000 == champion_index + 1][:3]
        contents = [champion_item] + own_skins

        def bundled_item(entry):
            vp = next(p["cost"] for p in entry["prices"] if p["currency"] == "VP")
            return {"inventoryType": entry["inventoryType"], "itemId": entry["itemId"],
                    "quantity": 1,
                    "discountPrices": [{"currency": "VP", "cost": int(vp * 0.7),
                                        "discount": 0.3, "costType": "DISCOUNTED"}]}

        full = sum(next(p["cost"] for p in e["prices"] if p["currency"] == "VP") for e in contents)
        total = int(full * 0.7)
        bundles.append(item(
            9000 + number, "BUNDLES", "bundles/%d.png" % number,
            {lang: BUNDLE_NAMES[lang].format(champion=champion) for lang in LANGUAGES},
            {lang: DESCRIPTIONS["bundle"][lang].format(champion=champion, count=len(own_skins))
             for lang in LANGUAGES},
            [price("VP", total, 0.3)], date(rng, 2020, 2024), ["bundle"],
            bundled={"flexible": number % 4 == 0,
                     "items": [bundled_item(e) for e in contents],
                     "minimumPrices": [{"currency": "VP", "cost": total, "discount": 0.3,
                                        "costType": "MINIMUM"}]},
            sub_type="CHAMPION_BUNDLE"))

    return champions + skins + wards + bundles


def render(catalog):
    lines = [json.dumps(entry, ensure_ascii=False, separators=(",", ":")) for entry in catalog]
    return "[\n" + ",\n".join(lines) + "\n]\n"


def main(arguments):
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catalog.json")
    text = render(make_catalog())
    if arguments == ["--check"]:
        try:
            with open(target, encoding="utf-8") as existing:
                current = existing.read()
        except OSError as error:
            print("make_catalog.py: cannot read %s: %s" % (target, error), file=sys.stderr)
            return 1
        if current != text:
            print("make_catalog.py: %s is out of date; run this script again" % target,
                  file=sys.stderr)
            return 1
        return 0
    if arguments:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(target, "w", encoding="utf-8") as out:
        out.write(text)
    print("make_catalog.py: %d items written to %s" % (len(text.splitlines()) - 2, target))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
