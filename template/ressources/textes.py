"""French texts of the hub's pages, kept apart from the templates."""

TITRE = "Réseau {nom}"
ACCROCHE = (
    "Bienvenue dans votre espace. Ce réseau est servi depuis un ordinateur "
    "de votre entourage : tous ceux qui sont branchés sur le même réseau local "
    "peuvent le rejoindre."
)
RUBRIQUES = [
    {"titre": "Se retrouver", "texte": "Un point de rencontre pour les personnes du réseau {nom}."},
    {"titre": "Partager", "texte": "Des nouvelles, des idées et des fichiers, sans passer par Internet."},
    {"titre": "Rester chez soi", "texte": "Rien ne quitte votre réseau local : l'espace reste entre vous."},
]

ADRESSE = "Pour inviter quelqu'un, donnez-lui cette adresse :"
PIED = "Servi par Kestrova"
INTROUVABLE_TITRE = "Page introuvable"
INTROUVABLE_TEXTE = "Cette page n'existe pas sur ce réseau."
RETOUR = "Revenir à l'accueil"
ERREUR_TITRE = "Un souci est survenu"
ERREUR_SERVEUR = "Le hub a rencontré une erreur. Réessayez dans un instant."
