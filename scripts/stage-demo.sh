#!/usr/bin/env bash
# Stages a ready working directory: the template files, the images, a style
# sheet and two demo hubs provisioned from template/, listed in networks.data.
# usage: stage-demo.sh FOLDER
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$1
export PATH=/usr/bin:/bin:$PATH   # Debian's Django belongs to /usr/bin/python3

mkdir -p "$demo"
cp -r "$top"/template/. "$demo"/
cp -r "$top/img" "$demo"/
cp "$top/fuseum.gif" "$top/wifi.gif" "$top/velmor_logo.ico" "$top/scripts/style.qss" "$demo"/

cd "$demo"
provision() {  # registry name, project folder
  [ -f "$2/manage.py" ] || django-admin startproject "$2"
  # Copied again on each run, so that the demo hubs follow the template.
  cp settings.py urls.py "$2/$2/"
  cp -r hubs ressources templates static "$2/$2/"
  # The name a hub made by the program keeps and answers with.
  printf '%s' "$1" > "$2/$2/nom_du_reseau.txt"
  printf '%s|%s|\n' "$1" "$2" >> networks.data.new
}
rm -f networks.data.new
provision "Les Lumieres de Tavoule" lumieres
provision "Atelier du Port" atelier
mv networks.data.new networks.data
