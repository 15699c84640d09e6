/* Writes the simulator's town table as a C++ source: every Polish town of the GeoNames table
 * that ships with libgeonames, largest first, under its Polish name. Run at build time only, so
 * that the simulator needs no GLib when it runs. Usage: make_town_table OUTPUT.cpp */
#include <geonames.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The biggest towns carry English or ASCII names in the table. */
static const char* const aliases[][2] = {
    {"Warsaw", "Warszawa"},
    {"Lodz", "Łódź"},
    {"Krakow", "Kraków"},
    {"Wroclaw", "Wrocław"},
    {"Poznan", "Poznań"},
    {"Gdansk", "Gdańsk"},
    {"Bialystok", "Białystok"},
    {"Torun", "Toruń"},
    {"Bielsko-Biala", "Bielsko-Biała"},
    {"Elblag", "Elbląg"},
    {"Piotrkow Trybunalski", "Piotrków Trybunalski"},
    {"Swidnica", "Świdnica"},
    {"Lowicz", "Łowicz"},
    {"Jastrzębie Zdrój", "Jastrzębie-Zdrój"},
    {"Jelcz Laskowice", "Jelcz-Laskowice"},
};

/* Entries that are districts of a bigger town (or no town at all), not towns of their own. */
static const char* const not_towns[] = {
    "Bemowo",    "Białołeka",   "Bielany",  "Mokotów", "Ochota",  "Praga Południe", "Praga Północ",
    "Rembertów", "Śródmieście", "Targówek", "Ursus",   "Ursynów", "Wawer",          "Wesoła",
    "Włochy",    "Wola",        "Żoliborz", "Fordon",  "Gierłoż",
};

struct town {
    char name[128];
    char source_name[128];
    double latitude;
    double longitude;
    unsigned population;
};

static int listed(const char* name, const char* const* list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (strcmp(name, list[i]) == 0) {
            return 1;
        }
    }
    return 0;
}

static void polish_name(const char* source, char* out, size_t size) {
    const char* gmina = "Gmina ";
    if (strncmp(source, gmina, strlen(gmina)) == 0) {
        source += strlen(gmina);
    }
    snprintf(out, size, "%s", source);
    for (size_t i = 0; i < sizeof aliases / sizeof aliases[0]; ++i) {
        if (strcmp(source, aliases[i][0]) == 0) {
            snprintf(out, size, "%s", aliases[i][1]);
        }
    }
}

static int larger_first(const void* a, const void* b) {
    const struct town* left = a;
    const struct town* right = b;
    if (left->population != right->population) {
        return left->population < right->population ? 1 : -1;
    }
    return strcmp(left->name, right->name);
}

static void write_text(FILE* out, const char* text) {
    fputc('"', out);
    for (; *text; ++text) {
        if (*text == '"' || *text == '\\') {
            fputc('\\', out);
        }
        fputc(*text, out);
    }
    fputc('"', out);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    const int n = geonames_get_n_cities();
    struct town* towns = calloc(n > 0 ? (size_t)n : 1, sizeof *towns);
    size_t count = 0;
    for (int i = 0; i < n && towns; ++i) {
        GeonamesCity* city = geonames_get_city(i);
        const char* name = geonames_city_get_name(city);
        if (strcmp(geonames_city_get_country_code(city), "PL") == 0 &&
            !listed(name, not_towns, sizeof not_towns / sizeof not_towns[0])) {
            struct town* town = &towns[count++];
            polish_name(name, town->name, sizeof town->name);
            snprintf(town->source_name, sizeof town->source_name, "%s", name);
            town->latitude = geonames_city_get_latitude(city);
            town->longitude = geonames_city_get_longitude(city);
            town->population = geonames_city_get_population(city);
        }
        geonames_city_free(city);
    }
    if (count < 100) {
        fprintf(stderr, "make_town_table: only %zu Polish towns found\n", count);
        free(towns);
        return 1;
    }
    qsort(towns, count, sizeof *towns, larger_first);

    FILE* out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        free(towns);
        return 1;
    }
    fprintf(out, "// Generated at build time from the GeoNames town table; do not edit.\n"
                 "#include \"towns.h\"\n\n"
                 "const sim_town sim_town_table[] = {\n");
    for (size_t i = 0; i < count; ++i) {
        fputs("    {", out);
        write_text(out, towns[i].name);
        fputs(", ", out);
        write_text(out, towns[i].source_name);
        /* Four decimals, about 10 m: as precise as the storm service keeps its towns. */
        fprintf(out, ", %.4f, %.4f, %u},\n", towns[i].latitude, towns[i].longitude,
                towns[i].population);
    }
    fprintf(out, "};\nconst std::size_t sim_town_count = %zu;\n", count);
    free(towns);
    return fclose(out) == 0 ? 0 : 1;
}
